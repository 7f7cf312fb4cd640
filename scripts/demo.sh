#!/usr/bin/env bash
# The kqsd demo: builds the programs, lays out an LP print service in a
# scratch directory that drives a private CUPS scheduler, sets an
# administrator password, starts CUPS, a fake network printer and kqsd in a
# private network namespace, runs a console session with kqsctl over TLS
# (showing the certificate fingerprint it pins at first contact) that creates
# a queue, prints a real job on it through CUPS and shows what the printer
# received, and stops everything again. Needs root (the daemon switches to
# its service account kqsd, made here when missing, CUPS runs as root, and the namespace keeps ports 55554 and
# 9100 away from anything else on this machine). The host's own CUPS is
# neither used nor changed.
#   scripts/demo.sh          build in build-demo/ and run the session
#   KEEP=1 scripts/demo.sh   keep the scratch directory afterwards
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$repo/build-demo}"
stages=10
stage=0

step() {
  stage=$((stage + 1))
  printf '\n==> [%d/%d] %s\n' "$stage" "$stages" "$*"
}
die() {
  printf '\ndemo: FAILED: %s\n' "$*" >&2
  exit 1
}
# Shows a console command as typed, then runs it.
console() {
  printf '\n$ kqsctl %s\n' "$*"
  "$build/bin/kqsctl" "$@"
}

# A change: the daemon enforces the administrator password.
admin() {
  printf '\n$ echo demo1234 | kqsctl %s --login\n' "$*"
  echo demo1234 | "$build/bin/kqsctl" "$@" --login
}

# ---------------------------------------------------------------------------
# Inside the private network namespace: start, talk, stop.
# ---------------------------------------------------------------------------
if [[ "${1:-}" == --inside ]]; then
  scratch="$2"
  build="$3"
  stage="$4"
  home="$scratch/kqsd"
  ip link set lo up || die "cannot bring up the loopback interface"
  # kqsctl records the servers it meets over TLS here, not in root's home.
  export XDG_CONFIG_HOME="$scratch/console"

  running() {
    # A daemon that has ended but is not yet reaped counts as stopped.
    [[ -e "/proc/$1" ]] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
  }
  pid=""
  stop_daemon() {
    if [[ -n "$pid" ]] && running "$pid"; then kill -TERM "$pid" 2>/dev/null || true; fi
  }
  trap stop_daemon EXIT

  step "Starting a private CUPS scheduler, a fake network printer and kqsd"
  export CUPS_SERVER="$scratch/cups/cups.sock"
  cupsd -f -c "$scratch/cups/cupsd.conf" -s "$scratch/cups/cups-files.conf" &
  cups_pid=$!
  received="$scratch/printer/received"
  # The printer: every connection to 127.0.0.1:9100 is one job, appended to
  # one file, as an AppSocket printer would print it.
  socat -u TCP-LISTEN:9100,bind=127.0.0.1,reuseaddr,fork "OPEN:$received,creat,append" &
  printer_pid=$!
  stop_all() {
    stop_daemon
    kill "$printer_pid" "$cups_pid" 2>/dev/null || true
  }
  trap stop_all EXIT
  for _ in $(seq 1 100); do lpstat -r >/dev/null 2>&1 && break; sleep 0.1; done
  lpstat -r || die "the private CUPS scheduler did not start (see $scratch/cups/log)"
  echo "CUPS listens on $CUPS_SERVER, the printer on 127.0.0.1:9100"
  "$home/kqsd" || die "kqsd did not start"
  for _ in $(seq 1 100); do
    pid="$(sed -n 's/^[[:space:]]*ProcessID[[:space:]]*=[[:space:]]*\([0-9]*\).*/\1/p' "$home/kqsd.ini" | head -n 1)"
    [[ -n "$pid" ]] && "$build/bin/kqsctl" --plain monitors --timeout 500 >/dev/null 2>&1 && break
    sleep 0.1
  done
  [[ -n "$pid" ]] || die "kqsd wrote no ProcessID into $home/kqsd.ini"
  [[ "$(readlink "/proc/$pid/exe" 2>/dev/null)" == "$home/kqsd" ]] ||
    die "process $pid is not the daemon started from $home (did it stop already?)"
  "$build/bin/kqsctl" --plain monitors --timeout 500 >/dev/null 2>&1 || die "kqsd does not answer on port 55554"
  echo "kqsd runs as process $pid, user $(ps -o user= -p "$pid")"

  step "Console session over TLS: a queue for the printer"
  printf '\n$ kqsd --fingerprint      # on the server: its TLS certificate, made at first start\n'
  "$home/kqsd" --fingerprint || die "kqsd --fingerprint failed"
  console discover --to 127.0.0.1 || die "discovery failed"
  printf '\n(kqsctl talks TLS to port 55555; at first contact it pins the certificate)\n'
  console drivers || die "listing the printer models failed"
  printf '\n$ cat %s\n' "$XDG_CONFIG_HOME/kqsctl/known_servers"
  cat "$XDG_CONFIG_HOME/kqsctl/known_servers" || die "kqsctl pinned no certificate"
  [[ "$(cut -d' ' -f2 "$XDG_CONFIG_HOME/kqsctl/known_servers")" == "$("$home/kqsd" --fingerprint | cut -d= -f2)" ]] ||
    die "the pinned fingerprint is not the server's"
  printf '\n(changes need the administrator password)\n'
  admin add-queue lab --model standard --device 127.0.0.1 --ip-port 9100 --default ||
    die "adding a queue failed"
  console queues || die "listing the queues failed"
  printf '\n$ lpstat -p lab -d -v lab      # CUPS has the queue now\n'
  lpstat -p lab -d -v lab || die "CUPS does not have the queue"

  step "Printing a job with CUPS's lp"
  job="$scratch/printer/hello.txt"
  printf 'Hello from kqsd.\nThis page went through CUPS, the lpif backend and the queue interface program.\n' >"$job"
  printf '\n$ lp -d lab %s\n' "$job"
  lp -d lab "$job" || die "CUPS did not take the job"
  for _ in $(seq 1 200); do cmp -s "$job" "$received" 2>/dev/null && break; sleep 0.1; done
  printf '\nThe printer received %s bytes:\n' "$(stat -c %s "$received" 2>/dev/null || echo 0)"
  cat "$received" 2>/dev/null || true
  cmp -s "$job" "$received" || die "the printer did not receive the job (CUPS log: $scratch/cups/log/error_log)"

  step "Operations: a stopped queue brought back, a job cancelled"
  admin disable lab --reason "paper jam" || die "disabling the queue failed"
  printf '\n$ lp -d lab %s; lp -d lab %s      # two jobs wait\n' "$job" "$job"
  lp -d lab "$job" && lp -d lab "$job" || die "CUPS did not take the jobs"
  console queues || die "listing the queues failed"
  console status lab || die "the queue's status failed"
  console jobs lab || die "listing the jobs failed"
  first=$("$build/bin/kqsctl" jobs lab --json | sed -n 's/.*"id":\([0-9]*\).*/\1/p' | head -n 1)
  [[ -n "$first" ]] || die "the stopped queue shows no job"
  admin cancel "$first" || die "cancelling job $first failed"
  : >"$received"
  admin enable lab || die "enabling the queue failed"
  for _ in $(seq 1 200); do [[ "$("$build/bin/kqsctl" jobs lab --json)" == "[]" ]] && break; sleep 0.1; done
  [[ "$("$build/bin/kqsctl" jobs lab --json)" == "[]" ]] || die "the remaining job did not print"
  console queues || die "listing the queues failed"

  step "Console session: passwords and the queue's removal"
  printf '\n$ echo demo1234 | kqsctl login\n'
  echo demo1234 | "$build/bin/kqsctl" login || die "the right password was refused"
  printf '\n$ echo wrong | kqsctl login      # refused: exit status 1\n'
  if echo wrong | "$build/bin/kqsctl" login; then die "a wrong password was accepted"; fi
  admin remove-queue lab || die "removing the queue failed"
  printf '\n$ lpstat -p lab      # CUPS no longer has the queue\n'
  if lpstat -p lab; then die "CUPS still has the queue"; fi

  step "Stopping kqsd (SIGTERM to process $pid) and CUPS"
  trap - EXIT
  kill "$printer_pid" "$cups_pid" 2>/dev/null || true
  kill -TERM "$pid" || die "cannot signal process $pid"
  for _ in $(seq 1 150); do
    running "$pid" || break
    sleep 0.1
  done
  if running "$pid"; then
    kill -KILL "$pid" 2>/dev/null || true
    die "kqsd did not stop within 15 s of SIGTERM"
  fi
  echo "kqsd stopped"
  exit 0
fi

# ---------------------------------------------------------------------------
# Outside: check, build, lay out, then run the part above in a namespace.
# ---------------------------------------------------------------------------
step "Checking the machine"
[[ "$(id -u)" == 0 ]] || die "run the demo as root: kqsd switches to its service account, and the demo gives it a private network namespace"
getent passwd lp >/dev/null || die "the account lp does not exist (CUPS runs backends as lp)"
source "$repo/scripts/packages.sh"
ensure_packages cmake ninja-build g++ libcrypt-dev libc-dev-bin libcups2-dev libssl-dev libcpp-httplib-dev pkg-config cups-daemon cups-client socat \
  iproute2 util-linux procps || die "cannot install the packages the demo needs"
# As the install does: the system account kqsd, alone in CUPS's SystemGroup.
ensure_service_account || die "cannot make the service account kqsd"
echo "build tools present"

step "Building kqsd, kqsctl, lpsvc, lpif and lpdeliver in $build"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKQS_BUILD_TESTS=OFF >/dev/null ||
  die "cmake could not configure the build"
cmake --build "$build" -j"$(nproc)" || die "the build failed"
for program in kqsd kqsctl lpsvc lpif lpdeliver kqsd.cat; do
  [[ -e "$build/bin/$program" ]] || die "the build made no $build/bin/$program"
done

step "Laying out a private CUPS, an LP service that drives it, and the daemon's directory"
scratch="$(mktemp -d /tmp/kqsd-demo.XXXXXX)"
cleanup() {
  local status=$?
  if [[ "${KEEP:-0}" == 1 || $status != 0 ]]; then
    echo "scratch directory kept: $scratch"
  else
    rm -rf "$scratch"
  fi
}
trap cleanup EXIT
chmod 755 "$scratch"  # the daemon, as kqsd, reads its files here
# CUPS as root on a socket of its own, its files in the scratch directory;
# its SystemGroup lpadmin holds the daemon's account kqsd (never lp, which
# runs every backend), and the lpif backend runs each job, as lp, through
# the queue's interface program.
cups="$scratch/cups"
mkdir -p "$cups"/{root,spool,cache,state,log,bin/backend,tmp} "$scratch/printer"
chmod 1777 "$cups/tmp"
for d in daemon filter notifier cgi-bin driver monitor; do ln -s "/usr/lib/cups/$d" "$cups/bin/$d"; done
install -m 0755 "$build/bin/lpif" "$cups/bin/backend/lpif"
cat >"$cups/cups-files.conf" <<EOF
ServerRoot $cups/root
RequestRoot $cups/spool
TempDir $cups/tmp
CacheDir $cups/cache
StateDir $cups/state
ServerBin $cups/bin
AccessLog $cups/log/access_log
ErrorLog $cups/log/error_log
PageLog $cups/log/page_log
Printcap $cups/printcap
User lp
Group nogroup
SystemGroup lpadmin
EOF
cat >"$cups/cupsd.conf" <<EOF
Listen $cups/cups.sock
Browsing No
WebInterface No
<Location />
  Order allow,deny
</Location>
EOF
"$build/bin/lpsvc" setup "$scratch/lp" --cups "$cups/cups.sock" --user kqsd || die "lpsvc setup failed"
mkdir -p "$scratch/kqsd"
cp "$build/bin/kqsd" "$build/bin/kqsd.cat" "$scratch/kqsd/"
cat >"$scratch/kqsd/kqsd.ini" <<EOF
; kqsd settings for the demo
[LP Service]
Root=$scratch/lp
[ACCESS]
Enforce=1
[Process Settings]
User=kqsd
EOF
# As installed: the directory is root's alone and kqsd.ini readable by the
# group kqsd only (it holds the password hash); kqsd refuses anything looser.
chmod 755 "$scratch/kqsd"
chgrp kqsd "$scratch/kqsd/kqsd.ini"
chmod 640 "$scratch/kqsd/kqsd.ini"
echo "CUPS:          $cups"
echo "LP tree:       $scratch/lp (its commands drive that CUPS)"
echo "kqsd and ini:  $scratch/kqsd"

step "Setting the administrator password"
printf '$ echo demo1234 | kqsctl passwd --ini %s\n' "$scratch/kqsd/kqsd.ini"
echo demo1234 | "$build/bin/kqsctl" passwd --ini "$scratch/kqsd/kqsd.ini" || die "kqsctl passwd failed"

unshare --net -- "$repo/scripts/demo.sh" --inside "$scratch" "$build" "$stage" ||
  die "the session in the private network namespace failed"
printf '\ndemo: all stages passed\n'
