#!/usr/bin/env bash
# The collection against ansible-test sanity's offline tests, on a copy laid
# out as ansible_collections/kqsd/console, with Debian's packages (voluptuous,
# pylint, pycodestyle, yamllint) where it would fetch its own from PyPI; and
# the built collection carries its license.
#   sanity_test.sh COLLECTION_DIR SCRATCH_DIR
set -euo pipefail
copy=$2/ansible_collections/kqsd/console
rm -rf "$2" && mkdir -p "$copy" && cp -r "$1"/. "$copy" && rm -rf "$copy/tests/output"
export HOME=$2/home  # where ansible-test keeps its Python environments
py=/usr/bin/python3 version=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
tests=(validate-modules compile pep8 pylint yamllint future-import-boilerplate metaclass-boilerplate)
# Each test's environment, made as ansible-test would name it, on the system's packages.
for venv in $($py - "$version" "${tests[@]}" <<'EOF'
import os, sys
from ansible_test._internal.python_requirements import collect_requirements
from ansible_test._internal.commands.sanity import hash_pip_commands
from ansible_test._internal.host_configs import NativePythonConfig
for name in sys.argv[2:]:
    pip = collect_requirements(python=NativePythonConfig(version=sys.argv[1], path=sys.executable), controller=True,
                               virtualenv=False, command=None, ansible=False, cryptography=False, coverage=False,
                               minimize=False, sanity=name)
    print(os.path.expanduser('~/.ansible/test/venv/%s/%s/%s' % ('sanity.' + name if pip else 'sanity', sys.argv[1],
                                                                 hash_pip_commands(pip))))
EOF
); do
  [[ -e $venv/marker.txt ]] && continue
  $py -m venv --system-site-packages --without-pip "$venv"
  $py -c 'import json, yaml; print(json.dumps(yaml.__with_libyaml__))' >"$venv/meta.yaml.json" && touch "$venv/marker.txt"
done
# A repository of its own: ansible-test takes its targets from the git
# checkout it is in, and the build directory's is not the collection's.
cd "$copy" && git init -q && git add -A
ansible-test sanity --local --python "$version" --color no "${tests[@]/#/--test=}" 2>&1 | tee "$2/sanity.log"
! grep -q 'targets skipped' "$2/sanity.log" || { echo "ansible-test found nothing to check" >&2 && exit 1; }
ansible-galaxy collection build --output-path "$2/built" >/dev/null
tar -tzf "$2"/built/kqsd-console-*.tar.gz | grep -x LICENSE >/dev/null || { echo "no LICENSE in the built collection" >&2 && exit 1; }
