#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and runs the installed programs from
# there, through their links in bin: the files the desktop, man and systemd read are
# checked with their validators, tarnwell-settings and the agent forward from Dovecot to
# aiosmtpd, and the window starts the installed menu, which forwards a newly arrived
# message on "getMail". Run inside a private session bus (dbus-run-session).
# Usage: install_test.sh BUILD_DIR PREFIX
set -euo pipefail
build=$1 prefix=$2
export QT_QPA_PLATFORM=offscreen

root=$(mktemp -d)
home=$(mktemp -d)
pids=()
isolated=
servers_in=
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  # unshare ignores TERM while it waits; its death takes the namespace's processes along.
  # (Without a namespace this is the window itself.)
  [ -z "$isolated" ] || kill -KILL "$isolated" 2>/dev/null || true
  [ -z "$servers_in" ] || exec {servers_in}>&-
  wait 2>/dev/null || true
  rm -rf "$root" "$home"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$root cmake --install "$build" >/dev/null
top=$root$prefix
bin=$top/bin

# The layout: programs side by side, links that lead to them, and every shared file.
for link in tarnwell-agent tarnwell-menu tarnwell-preferences tarnwell-settings; do
  [ -L "$bin/$link" ] || fail "$bin/$link is not a link"
  target=$(readlink -f "$bin/$link")
  [ "$(dirname "$target")" = "$(readlink -f "$top/lib/tarnwell")" ] || fail "$link leads to $target"
  [ -x "$target" ] || fail "$target is not executable"
done
for file in share/tarnwell/aboutText.html share/tarnwell/help/index.html share/man/man1/tarnwell-agent.1.gz \
            share/man/man1/tarnwell-settings.1.gz share/icons/hicolor/scalable/apps/com.vexlo.Tarnwell.svg \
            share/icons/hicolor/48x48/apps/com.vexlo.Tarnwell.png lib/systemd/user/tarnwell-agent.service \
            lib/systemd/user/tarnwell-agent.timer; do
  [ -s "$top/$file" ] || fail "$file is missing"
done
outside=$(cd "$root" && find . -type f -o -type l | grep -v "^.$prefix/" || true)
[ -z "$outside" ] || fail "installed outside the prefix: $outside"

desktop-file-validate "$top/share/applications/com.vexlo.Tarnwell.desktop"
appstreamcli validate --no-net --pedantic "$top/share/metainfo/com.vexlo.Tarnwell.metainfo.xml" >/dev/null ||
  appstreamcli validate --no-net "$top/share/metainfo/com.vexlo.Tarnwell.metainfo.xml"
for page in tarnwell-agent tarnwell-settings tarnwell-menu tarnwell-preferences; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$top/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page.1: $warnings"
done
if command -v systemd-analyze >/dev/null; then
  # verify resolves ExecStart= on this machine; point it at the installed link.
  units=$(mktemp -d -p "$root")
  sed "s|^ExecStart=.*|ExecStart=$bin/tarnwell-agent|" "$top/lib/systemd/user/tarnwell-agent.service" >"$units/tarnwell-agent.service"
  cp "$top/lib/systemd/user/tarnwell-agent.timer" "$units/"
  grep -q "^ExecStart=$prefix/bin/tarnwell-agent$" "$top/lib/systemd/user/tarnwell-agent.service" ||
    fail "the service does not start $prefix/bin/tarnwell-agent"
  (cd "$units" && XDG_RUNTIME_DIR=$units systemd-analyze verify --user --man=no tarnwell-agent.service tarnwell-agent.timer)
fi

# Forwarding through the installed links.
coproc SERVERS { "$build/tests/demo_servers"; }
servers_in=${SERVERS[1]}
pids+=("$SERVERS_PID")
declare -A at
while read -r -t 60 key value <&"${SERVERS[0]}"; do
  [ "$key" = READY ] && break
  at[$key]=$value
done
[ -n "${at[IMAP]:-}" ] || fail "the servers did not start"
export HOME=$home
"$bin/tarnwell-settings" write SMTPHost "${at[SMTP]}"
"$bin/tarnwell-settings" write dftFwd me@example.org
printf '%s\n' "${at[PASSWORD]}" | "$bin/tarnwell-settings" account add --address ann@example.net --password - \
    --login "${at[USER]}" --server "${at[IMAP]}" --secure 0 --leave 1 --type IMAP >/dev/null
sent() { find "${at[SINK]}" -name '*.eml' | wc -l; }
timeout 60 "$bin/tarnwell-agent" >/dev/null
[ "$(sent)" -eq 2 ] || fail "the installed agent forwarded $(sent) messages, not 2"

# The window starts the installed menu; the menu's getMail runs the installed agent.
imapOnly=$(sent)
printf '%s\n' "${at[PASSWORD]}" | "$bin/tarnwell-settings" account add --address ann@example.com --password - \
    --login "${at[USER]}" --server "${at[POP3S]}" --secure 1 --leave 1 --type POP >/dev/null
export SSL_CERT_FILE=${at[CA]}
# In a process namespace of its own: the window starts no menu while it sees one of this
# user's, and other tests' menus may be running.
isolate=(unshare --pid --fork --kill-child --mount-proc)
[ "$(id -u)" -eq 0 ] || isolate=(unshare --user --map-root-user --pid --fork --kill-child --mount-proc)
# Where namespaces are not allowed, the test runs alone (RUN_SERIAL) and the window sees
# every process.
"${isolate[@]}" true 2>/dev/null || isolate=()
"${isolate[@]}" "$bin/tarnwell-preferences" 2>/dev/null &
isolated=$!
gdbus wait --session --timeout 30 com.vexlo.Tarnwell.Menu || fail "the window started no menu"
menu=$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
       --method org.freedesktop.DBus.GetConnectionUnixProcessID com.vexlo.Tarnwell.Menu | sed -n 's/^(uint32 \([0-9]*\),)$/\1/p')
pids+=("$menu")
[ "$(cat "/proc/$menu/comm")" = "Tarnwell Menu" ] || fail "the menu runs as $(cat "/proc/$menu/comm")"
[ "$(readlink -f "/proc/$menu/exe")" = "$(readlink -f "$top/lib/tarnwell/Tarnwell Menu")" ] ||
  fail "the menu started is $(readlink -f "/proc/$menu/exe")"
# "READY" once the monitor's subscription is in place, "END" at the run's summary.
exec {watched}< <(gdbus monitor --session --dest com.vexlo.Tarnwell.Menu |
  sed -u -n -e '/is owned by/s/.*/READY/p' -e '/Run completed/s/.*/END/p')
pids+=("$!")
read -r -t 20 line <&"$watched" || fail "no monitor on the session bus"
gdbus emit --session --object-path /com/vexlo/Tarnwell \
  --signal com.vexlo.Tarnwell.DistributedNotifications.Notification \
  "'Tarnwell Control Notification'" "'com.vexlo.twell.control'" "{'control': 'getMail'}" >/dev/null
while [ "$line" != END ]; do
  read -r -t 120 line <&"$watched" || fail "the menu's run did not end"
done
[ "$(sent)" -eq $((imapOnly + 3)) ] || fail "the menu's run forwarded $(($(sent) - imapOnly)) messages, not 3"
echo "installed programs: layout, validators and forwarding passed"
