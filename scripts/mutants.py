#!/usr/bin/env python3
"""Hand-made faults, one at a time, against the test suite.

Each mutant replaces one piece of text in one file (the pattern must occur
exactly once), rebuilds build/, and runs first the tests most likely to catch
it (a ctest -R expression) and then, if those pass, the whole suite without
the package tests (ctest -LE package: they test no compiled code). A mutant
is CAUGHT when a test fails, SURVIVED when everything passes. The file is put
back afterwards, and build/ rebuilt once at the end.

  scripts/mutants.py                 every mutant
  scripts/mutants.py N3 F4           those whose names start so
  scripts/mutants.py --quick N       the likely tests only (a survivor there
                                     is not yet a survivor of the suite)
  scripts/mutants.py --list          names and descriptions

Run it in a worktree whose build/ is configured with -DKQS_BUILD_TESTS=ON,
as root (the suite needs it), with nothing else editing the tree.
"""
import argparse
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (name, description, file, old text, new text, likely tests)
MUTANTS = [
    # Faults named in issue 26.
    ('F1', 'a request header announcing length 0 accepted', 'service/session.cpp',
     'if (length < KQS_MIN_REQUEST_SIZE || length > kReceiveSize)', 'if (length > kReceiveSize)', r'^DaemonTest\.'),
    ('F2', 'discovery budget only for loopback senders', 'service/discovery.cpp',
     '  if (budget->Allow(sender->sin_addr.s_addr, now)) return true;',
     '  if (sender->sin_addr.s_addr != htonl(INADDR_LOOPBACK) || budget->Allow(sender->sin_addr.s_addr, now)) return true;',
     r'^DaemonTest\.'),
    ('F3', 'fleet exit status taken from the last server', 'kqsctl/report.cpp',
     'status = std::max(status, r.status);', 'status = r.status;', r'^KqsctlFleet'),
    ('F4', 'scheduler socket world-writable', 'lpsvc/scheduler.cpp',
     'const mode_t mask = umask(077);', 'const mode_t mask = umask(0);', r'^PrintingTest\.AQueue'),
    ('F5', 'kqsd.ini mode not restored by passwd', 'kqsctl/password.cpp',
     'fchmod(fd, mode) == 0 && ', '(static_cast<void>(mode), true) && ', r'^PasswordTest\.'),
    ('F6', 'INI reload blind to nanoseconds', 'common/config/profile.cpp',
     'st.st_mtim.tv_nsec, static_cast', '0, static_cast', r'^ProfileTest\.'),
    ('F8', 'Allow host bits kept', 'service/options.cpp',
     '  KeepBits(&net->address, net->bits);\n  return true;', '  return true;', r'^DaemonTest\.OptIn'),
    ('F10', 'a blank or 0 port no longer 9100', 'lpdeliver/lpdeliver_main.cpp',
     '*port = value == 0 ? 9100 : value;', '*port = value;', r'^PrintingTest\.AQueue'),
    ('F11', 'control characters accepted in parameters', 'protocol/packet.cpp',
     '    if (!IsPrintable(p[i])) return -1;\n', '', r'^Packet\.'),
    ('F12', 'a 512-byte data block dropped', 'protocol/packet.cpp',
     'dataLength > 0 && dataLength <= *dataSize', 'dataLength > 0 && dataLength < *dataSize', r'^RequestTest\.'),
    ('F14', 'interfaces directory of a third user accepted', 'lpif/interface.cpp',
     '(st.st_uid != lp_uid && st.st_uid != service_uid && st.st_uid != 0)', '(false && lp_uid != service_uid)',
     r'^Lpif\.'),
    ('F15', 'a failed close of the new kqsd.ini ignored by passwd', 'kqsctl/password.cpp',
     'if (env->Close(fd) != 0 || !ok ||', 'if ((env->Close(fd), false) || !ok ||', r'^PasswordTest\.'),
    # The first fresh sample.
    ('S1', 'a value one longer than its limit accepted', 'service/options.cpp',
     'if (std::strlen(room.data()) < size) {', 'if (std::strlen(room.data()) <= size) {', r'^DaemonTest\.Refuses'),
    ('S2', 'five connections per address', 'service/admission.h',
     'kMaxConnectionsPerAddress = 4;', 'kMaxConnectionsPerAddress = 5;', r'^Admission\.'),
    ('S3', 'discovery bucket never empties', 'service/ratelimit.cpp',
     'if (b.milliTokens < 1000) return false;', 'if (b.milliTokens < 0) return false;', r'^DiscoveryBudget\.'),
    ('S4', 'blank allowed in the LP root', 'queueadmin/lppaths.cpp',
     "if (c <= ' ' || c == 127) return -1;", "if (c < ' ' || c == 127) return -1;", r'^LpPaths\.'),
    ('S5', 'crypt failure marker compared', 'queueadmin/adminaccess.cpp',
     "if (encrypted == nullptr || encrypted[0] == '*') return KQS_NO_ACCESS;",
     'if (encrypted == nullptr) return KQS_NO_ACCESS;', r'^AdminAccess\.'),
    ('S6', 'lpadmin -x failure ignored', 'queueadmin/queueremove.cpp',
     '|| xSystem(command) != 0)', '|| (xSystem(command), false))', r'^QueueRemove\.'),
    ('S7', 'an Enforce value that is no truth value fails open', 'service/options.cpp',
     '  EventLogAddMessage(EVENTLOG_WARNING_TYPE, 210, 1, &insertion);\n  return true;',
     '  EventLogAddMessage(EVENTLOG_WARNING_TYPE, 210, 1, &insertion);\n  return false;', r'^DaemonTest\.OptIn'),
    ('S8', 'programs run with umask 0', 'common/host/env.cpp',
     '  umask(022);\n  sigset_t none;', '  umask(0);\n  sigset_t none;', r'^XSystemTest\.'),
    ('S9', 'IPv4 prefix above /32 accepted in Allow', 'service/options.cpp',
     'bits < 0 || bits > width) return false;', 'bits < 0 || bits > 128) return false;', r'^DaemonTest\.Refuses'),
    ('S10', 'kqsctl accepts port 0', 'kqsctl/channel.cpp',
     'number < 1 || number > 65535', 'number < 0 || number > 65535', r'^OptionsTest\.'),
    ('S11', 'interface program run from a directory others may write', 'lpif/interface.cpp',
     'WritableByOthers(st) ||\n', '', r'^Lpif\.'),
    # The second fresh sample, chosen from the code alone.
    ('N1', 'a parameter given twice accepted', 'protocol/params.cpp',
     'if (entry == nullptr || entry->value != nullptr) return KQS_INVALID_PARAMETER;',
     'if (entry == nullptr) return KQS_INVALID_PARAMETER;', r'^(params_fuzz|QueueAdd|Ports)'),
    ('N2', 'request platform word not checked', 'protocol/packet.cpp',
     '  if (GetWord(p, kReqPlatform) != PRINTSERVER_UNIX) return KQS_INVALID_PACKET;\n', '', r'^(Packet|request_fuzz)'),
    ('N3', 'IPv6 consoles counted per address, not per /64', 'service/admission.cpp',
     '  std::memset(&address.s6_addr[8], 0, 8);\n', '', r'^Admission'),
    ('N4', 'one more password guess without delay', 'service/admission.cpp',
     'if (source.refusals < kFreeRefusals) return 0;', 'if (source.refusals <= kFreeRefusals) return 0;',
     r'^(Admission|DaemonTest\.)'),
    ('N5', 'discovery budget for all senders together dropped', 'service/ratelimit.cpp',
     'return Take(b, kDiscoveryBurst, kDiscoveryRate, nowMs) &&\n         Take(shared_, kDiscoveryGlobalBurst, kDiscoveryGlobalRate, nowMs);',
     'return Take(b, kDiscoveryBurst, kDiscoveryRate, nowMs);', r'^(DiscoveryBudget|DaemonTest\.Discovery)'),
    ('N6', 'a refused add or remove not audited', 'service/request.cpp',
     '  } else {\n    EventLogAddMessage(EVENTLOG_WARNING_TYPE, 251, 4, words);\n  }', '  }', r'^DaemonTest\.'),
    ('N7', 'a device directory matched as a bare prefix', 'queueadmin/devicecheck.cpp',
     "return path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/';",
     'return path.size() > dir.size() && path.starts_with(dir);', r'^(DeviceCheck|QueueAdd)'),
    ('N8', 'a 128-character queue name accepted', 'queueadmin/namecheck.cpp',
     '  if (length > kMaxNameLength) return false;\n  for (size_t i = 0; i < length; ++i) {\n    const unsigned char c = static_cast<unsigned char>(name[i]);\n    if (!IsLetterOrDigit(c)',
     '  if (length > kMaxNameLength + 1) return false;\n  for (size_t i = 0; i < length; ++i) {\n    const unsigned char c = static_cast<unsigned char>(name[i]);\n    if (!IsLetterOrDigit(c)',
     r'^(NameCheck|QueueAdd|QueueRemove)'),
    ('N9', 'a single quote allowed in an unquoted script value', 'queueadmin/namecheck.cpp',
     'constexpr char kUnquotedSpecials[] = " ;&|<>()\'";', 'constexpr char kUnquotedSpecials[] = " ;&|<>()";',
     r'^(NameCheck|QueueAdd)'),
    ('N10', 'class name not checked', 'queueadmin/queueadd.cpp',
     "  if (cls[0] != '\\0' && !kqs::IsSafeLpName(cls)) return false;\n", '  (void)cls;\n', r'^QueueAdd'),
    ('N11', 'failure to make the queue the default ignored', 'queueadmin/queueadd.cpp',
     '"ON") == 0 && xSystem(commands.makeDefault) != 0) {', '"ON") == 0 && (xSystem(commands.makeDefault), false)) {',
     r'^QueueAdd'),
    ('N12', 'blanks around a settings key kept', 'common/config/profile.cpp',
     "  StripcrA(p);\n  if (*p == '\\0' || FindChild", "  if (*p == '\\0' || FindChild", r'^Profile'),
    ('N13', 'a program run is not its own process group', 'common/host/env.cpp',
     '  setpgid(0, 0);\n  umask(022);', '  umask(022);', r'^XSystem'),
    ('N14', "a program's output kept beyond its bound", 'common/host/env.cpp',
     'output->append(buf, std::min(room, size_t(n)));', 'output->append(buf, size_t(n)); (void)room;', r'^XSystem'),
    ('N15', "a probe takes another host's answer", 'pts/ping.cpp',
     'from.ss_family == AF_INET &&\n         in.sin_addr.s_addr == to.sin_addr.s_addr;',
     'from.ss_family == AF_INET && (void(to), void(in), true);', r'^ProbeTest'),
    ('N16', 'an SNMP community one byte too long accepted', 'pts/ping.cpp',
     'if (n > kMaxCommunity) return false;', 'if (n > kMaxCommunity + 1) return false;', r'^ProbeTest'),
    ('N17', 'CUPS deletes a destination without the mark', 'lpsvc/cupsclient.cpp',
     'if (!f.exists || f.is_class != is_class || (is_class ? f.info : f.device_uri) != mark) return kDone;',
     'if (!f.exists || (void(mark), f.is_class != is_class)) return kDone;', r'^PrintingTest\.'),
    ('N18', "lpif keeps root's supplementary groups", 'lpif/lpif_main.cpp',
     '(setgroups(1, &lp_gid) != 0 || setgid(lp_gid) != 0', '(setgid(lp_gid) != 0', r'^Lpif\.'),
    ('N19', 'a port above 65535 accepted by lpdeliver', 'lpdeliver/lpdeliver_main.cpp',
     '  if (value > 65535) return false;\n  *port', '  *port', r'^(PrintingTest\.AQueue|Lpif\.)'),
    ('N20', 'a job counted as sent before the printer acknowledged it', 'lpdeliver/rawtcp.cpp',
     'err = shutdown(fd, SHUT_WR) == 0 ? WaitAcknowledged(fd) : errno;',
     'err = shutdown(fd, SHUT_WR) == 0 ? (void(WaitAcknowledged), 0) : errno;', r'^PrintingTest\.AQueue'),
    ('N21', "the server certificate's name not verified", 'kqsctl/channel.cpp',
     '    if (address ? X509_VERIFY_PARAM_set1_ip_asc(param, server.host.c_str()) != 1\n                : SSL_set1_host(ssl_, server.host.c_str()) != 1) {',
     '    if (param == nullptr) {', r'^(Tls|Kqsctl)'),
    ('N22', 'a prefix of the web access token accepted', 'kqsctl/webconsole.cpp',
     'if (a.size() != b.size() || a.empty()) return false;', 'if (a.size() > b.size() || a.empty()) return false;',
     r'^web_console'),
]


def run(args, **kw):
    return subprocess.run(args, cwd=ROOT, capture_output=True, text=True, **kw)


def build():
    return run(['cmake', '--build', 'build', '-j2'])


def suite_passes(regex=None):
    args = ['ctest', '--test-dir', 'build', '-j2', '-LE', 'package', '--timeout', '600']
    if regex:
        args += ['-R', regex]
    r = run(args)
    if regex and 'No tests were found' in r.stdout + r.stderr:
        return None
    return r.returncode == 0


def try_mutant(m, quick):
    name, what, path, old, new, likely = m
    full = os.path.join(ROOT, path)
    with open(full) as f:
        text = f.read()
    if text.count(old) != 1:
        return f'SKIP (pattern found {text.count(old)} times)'
    with open(full, 'w') as f:
        f.write(text.replace(old, new))
    try:
        b = build()
        if b.returncode != 0:
            return 'BUILD FAILED\n' + b.stdout[-800:]
        passed = suite_passes(likely)
        if passed is False:
            return 'CAUGHT (likely tests)'
        if quick:
            return 'survived the likely tests' if passed else 'no likely tests found'
        return 'SURVIVED' if suite_passes() else 'CAUGHT (whole suite)'
    finally:
        with open(full, 'w') as f:
            f.write(text)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument('--quick', action='store_true', help='run only the likely tests')
    p.add_argument('--list', action='store_true', help='list the mutants')
    p.add_argument('names', nargs='*', help='name prefixes (F1, S, N12, ...)')
    a = p.parse_args()
    chosen = [m for m in MUTANTS if not a.names or any(m[0] == n or (m[0].startswith(n) and not n[-1].isdigit())
                                                          for n in a.names)]
    if a.list:
        for m in chosen:
            print(f'{m[0]:4} {m[2]:32} {m[1]}')
        return 0
    caught = 0
    try:
        for m in chosen:
            verdict = try_mutant(m, a.quick)
            caught += verdict.startswith('CAUGHT')
            print(f'{m[0]:4} {verdict:28} {m[1]} ({m[2]})', flush=True)
    finally:
        build()
    print(f'caught {caught} of {len(chosen)}')
    return 0


if __name__ == '__main__':
    sys.exit(main())
