# Run as a script: writes OUTPUT, a C++ source that defines kqsctl::kWebFiles
# from the files FILES (","-separated names) of the directory DIR.
string(REPLACE "," ";" FILES "${FILES}")
set(arrays "")
set(table "")
set(n 0)
foreach(name IN LISTS FILES)
  file(READ "${DIR}/${name}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND arrays "const char kFile${n}[] = {${bytes}};\n")
  string(APPEND table "    {\"/${name}\", std::string_view(kFile${n}, sizeof kFile${n})},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from kqsctl/web by cmake/embed.cmake; do not edit.
#include \"kqsctl/webfiles.h\"

namespace kqsctl {
namespace {
${arrays}}  // namespace

const WebFile kWebFiles[] = {
${table}};
const size_t kWebFileCount = ${n};

}  // namespace kqsctl
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
