#!/bin/bash
# Proves the README's two commands on a pristine Debian release: bootstraps a
# minimal root of the suite from this machine's Debian mirror (nothing is kept
# between runs), clones the project into it, runs the README's test command
# there as the README writes it, then its run command until the service
# answers a WebSocket "close_device", then the extra command if one is given
# (the package test). Whatever the root lacks, the project's own scripts must
# install. Needs root and debootstrap.
# Usage: .ci/clean-root.sh SUITE [LOG_DIR [EXTRA_COMMAND]]   (SUITE: bookworm, trixie, forky)
set -uo pipefail
project=$(cd "$(dirname "$0")/.." && pwd)
suite=${1:?usage: .ci/clean-root.sh SUITE [LOG_DIR [EXTRA_COMMAND]]}
logs=${2:-$project/build-clean-root-$suite}
extra=${3:-}
mkdir -p "$logs"

# The two commands, from the first lines of the README's first code block.
readme_commands=$(awk '/^```sh/{inside=1; next} /^```/{if (inside) exit} inside' "$project/README.md" |
    sed 's/[[:space:]]*#.*$//' | grep -v '^$')
run_command=$(sed -n 1p <<<"$readme_commands")
test_command=$(sed -n 2p <<<"$readme_commands")
[ -n "$run_command" ] && [ -n "$test_command" ] || { echo "clean-root: no commands in the README"; exit 1; }

mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null)
[ -n "$mirror" ] || mirror=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list 2>/dev/null)

root=$(mktemp -d /var/tmp/krv-clean-root.XXXXXX)
# A root file system is open to every user (mktemp makes the folder 0700):
# tests run programs as other users inside it.
chmod 755 "$root"
unmount() { for m in dev/pts dev sys proc; do umount -l "$root/$m" 2>/dev/null; done; }
# The service started by the run command, and anything else left inside.
kill_inside() {
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null
    done
}
cleanup() {
    kill_inside
    unmount
    rm -rf "$root"
}
trap cleanup EXIT

echo "== clean root: debootstrap $suite (minbase, git, ca-certificates) from this machine's Debian mirror"
started=$SECONDS
# A release newer than this machine's debootstrap knows (forky on Debian 12)
# is made with the script of the unstable suite.
script=
[ -e "/usr/share/debootstrap/scripts/$suite" ] || script=/usr/share/debootstrap/scripts/sid
if ! debootstrap --variant=minbase --include=git,ca-certificates "$suite" "$root" "$mirror" $script \
    >"$logs/debootstrap.log" 2>&1; then
    tail -n 20 "$logs/debootstrap.log"
    echo "clean-root: debootstrap failed"
    exit 1
fi
# The release's own suites (its updates and security suites too) from this
# machine's sources.
. /etc/os-release
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -E "s/\b$VERSION_CODENAME\b/$suite/g" /etc/apt/sources.list.d/debian.sources \
        >"$root/etc/apt/sources.list.d/debian.sources"
    rm -f "$root/etc/apt/sources.list"
fi
# Where this machine's mirror is a dated snapshot, apt here accepts its
# expired Release files (testing's expire within a week); so does apt inside.
if grep -rqs 'Check-Valid-Until "false"' /etc/apt/apt.conf.d/; then
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99snapshot-mirror"
fi
for m in proc sys dev dev/pts; do mkdir -p "$root/$m"; done
mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
[ -s "$root/etc/hosts" ] ||
    printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
# Authorities this machine trusts for its package registries are trusted inside too.
if ls /usr/local/share/ca-certificates/*.crt >/dev/null 2>&1; then
    cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
    chroot "$root" update-ca-certificates >/dev/null 2>&1
fi
mkdir -p "$root/work"
git clone -q "$project" "$root/work/project"
echo "root ready in $((SECONDS - started)) s"

inside() {
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 CI=true \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt bash -c "cd /work/project && $1"
}

echo "== clean root: the README's test command: $test_command (log: $logs/test.log)"
started=$SECONDS
inside "$test_command" >"$logs/test.log" 2>&1
test_status=$?
echo "--- last lines of the test command's output, inside the clean root:"
grep -E '^Node\.js|^v[0-9]+\.' "$logs/test.log" | head -n 2
tail -n 25 "$logs/test.log"
if [ $test_status -ne 0 ]; then
    # The root and its log go with it: what each failed test printed, here.
    echo "--- what the failed tests printed (at most 150 lines each):"
    awk '/^ *[0-9]+\/[0-9]+ Test +#/ { shown = ($0 ~ /\*\*\*|Failed|Timeout|Exception/) ? 150 : 0 }
         /^ *Start +[0-9]+:/ { shown = 0 }
         shown > 0 { print; shown-- }' "$logs/test.log"
fi
echo "test command: exit status $test_status after $((SECONDS - started)) s"
inside 'echo "node $(node --version) ($(command -v node)), $(dpkg-query -W -f="\${Package} \${Version}" nodejs)"'

echo "== clean root: the README's run command: $run_command"
inside "($run_command >/var/tmp/run.log 2>&1 &)"
answer=$(inside "node -e \"
const WebSocket = require('/work/project/web/node_modules/ws');
const deadline = Date.now() + 300000;
(function attempt() {
  const socket = new WebSocket('ws://127.0.0.1:35561');
  socket.on('open', () => socket.send(JSON.stringify({ cmd: 'close_device' })));
  socket.on('message', (data) => { console.log(String(data)); process.exit(0); });
  socket.on('error', () => {
    if (Date.now() > deadline) { console.log('no answer'); process.exit(1); }
    setTimeout(attempt, 1000);
  });
})();\"")
run_status=$?
echo "$answer"
inside 'tail -n 5 /var/tmp/run.log'
if [ $run_status -eq 0 ] && grep -q '"statuCode": 0' <<<"$answer"; then
    echo "run command: the service answered close_device inside the clean root"
else
    echo "run command: no answer from the service"
    run_status=1
fi

extra_status=0
if [ -n "$extra" ]; then
    # The service started by the run command holds the port.
    kill_inside
    sleep 1
    echo "== clean root: $extra (log: $logs/extra.log)"
    started=$SECONDS
    inside "$extra" >"$logs/extra.log" 2>&1
    extra_status=$?
    tail -n 25 "$logs/extra.log"
    echo "$extra: exit status $extra_status after $((SECONDS - started)) s"
fi

[ $test_status -eq 0 ] && [ $run_status -eq 0 ] && [ $extra_status -eq 0 ]
