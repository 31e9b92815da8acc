#!/usr/bin/env bash
# Tests the Debian package on this very machine, as root: builds it
# (tools/package.sh, with lintian), installs it, checks files, owners,
# modes, the registry, the systemd units, the logrotate file and the man
# pages, has setwick save settings and quillon deliver one message between a
# Dovecot and a Postfix of the test's own (tests/package), upgrades, then
# purges it and checks that a spool holding mail survived the purge.
#
# It refuses to touch a Tallowmere installed by anybody else: the package it
# installs carries a marker in its machine root. It purges what an
# interrupted run of its own left before it starts, and again at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

[ "$(id -u)" -eq 0 ] || { echo "package_test.sh: run it as root" >&2; exit 1; }

MACHINE_ROOT=/var/lib/tallowmere
SPOOL=/var/spool/tallowmere
MARKER=package-test.marker
UNITS=(/lib/systemd/system/tallowmere-gateway.service /lib/systemd/system/tallowmere-gateway.timer)
TEMPLATES=(/lib/systemd/system/tallowmere-gateway@.service /lib/systemd/system/tallowmere-gateway@.timer)
SETTINGS_KEY='SOFTWARE\Brackwater\Tallowmere\1.0'

fail() { echo "package_test.sh: FAILED: $*" >&2; exit 1; }
installed() { dpkg-query -W -f='${Status}' tallowmere 2>/dev/null | grep -q 'ok installed'; }
ownership() { stat -c '%U:%G %a' "$1"; }
expect_ownership() {  # path, "user:group mode"
	local got; got=$(ownership "$1") || fail "$1 is missing"
	[ "$got" = "$2" ] || fail "$1 is $got, not $2"
}

# What an interrupted run of this test left: the package (only with the
# marker) and a spool that survived its purge (only with the marker).
cleanup() {
	if { installed || [ -d "$MACHINE_ROOT" ]; } && [ ! -e "$MACHINE_ROOT/$MARKER" ]; then
		fail "Tallowmere is installed here and not by this test; leaving it alone"
	fi
	if dpkg-query -W tallowmere >/dev/null 2>&1; then
		dpkg --purge tallowmere >/dev/null 2>&1 || fail "cannot purge the package"
	fi
	if [ -e "$SPOOL/$MARKER" ]; then rm -rf "$SPOOL"; fi
}
cleanup

tools/install_packages.sh logrotate mandoc man-db tmux dovecot-pop3d postfix systemd
echo "== Building the package"
tools/package.sh
deb=$(ls tallowmere_*_amd64.deb)

echo "== Building the test of the installed package"
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
ninja -C build package_installed_test >/dev/null

trap 'status=$?; cleanup; exit $status' EXIT

echo "== Installing $deb"
dpkg -i "$deb" >install.log 2>&1 || { cat install.log; fail "installation"; }
grep -q 'systemctl enable --now tallowmere-gateway.timer' install.log || fail "no install message"
rm -f install.log
touch "$MACHINE_ROOT/$MARKER" "$SPOOL/$MARKER"

echo "== Files, owners and modes"
for program in /usr/sbin/quillon /usr/sbin/setwick /usr/sbin/tallowmere-instance \
	/usr/lib/tallowmere/tallowmere-registry; do
	expect_ownership "$program" "root:root 755"
done
expect_ownership /etc/tallowmere/maillist.txt "root:root 644"
expect_ownership /etc/logrotate.d/tallowmere "root:root 644"
expect_ownership /usr/share/tallowmere/maillist.txt "root:root 644"
for unit in "${UNITS[@]}" "${TEMPLATES[@]}"; do expect_ownership "$unit" "root:root 644"; done
for page in quillon setwick tallowmere-instance; do
	expect_ownership "/usr/share/man/man8/$page.8.gz" "root:root 644"
done
for dir in "$MACHINE_ROOT" "$MACHINE_ROOT/eventlog" "$MACHINE_ROOT/locks" "$SPOOL"; do
	expect_ownership "$dir" "tallowmere:tallowmere 700"
done
expect_ownership "$MACHINE_ROOT/registry.reg" "tallowmere:tallowmere 600"
[ "$(getent passwd tallowmere | cut -d: -f7)" = /usr/sbin/nologin ] || fail "tallowmere has a shell"
[ "$(id -u tallowmere)" -lt 1000 ] || fail "tallowmere is no system user"
dpkg-query -W -f='${Conffiles}\n' tallowmere | grep -q ' /etc/tallowmere/maillist.txt ' ||
	fail "maillist.txt is no conffile"

echo "== The registry: the settings key with installdir and smtpmode, the connector key with RootDir"
expected=$(printf '%s\n' 'REGEDIT4' '' \
	'[HKEY_LOCAL_MACHINE\SOFTWARE\Brackwater\Tallowmere\1.0]' '"installdir"="/etc/tallowmere"' \
	'"smtpmode"="standard"' '' \
	'[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\MSExchangeIMC\Parameters]' \
	'"RootDir"="/var/spool/tallowmere"')
[ "$(cat "$MACHINE_ROOT/registry.reg")" = "$expected" ] ||
	fail "registry.reg holds: $(cat "$MACHINE_ROOT/registry.reg")"

echo "== systemd units, logrotate, man pages"
systemd-analyze verify "${UNITS[@]}" || fail "systemd-analyze verify"
# An instance's units, from the templates.
INSTANCE_UNITS=(/lib/systemd/system/tallowmere-gateway@north.service
	/lib/systemd/system/tallowmere-gateway@north.timer)
systemd-analyze verify "${INSTANCE_UNITS[@]}" || fail "systemd-analyze verify of the templates"
grep -q '^OnCalendar=\*:0/15$' "${TEMPLATES[1]}" || fail "the template timer's schedule"
# The hardened services: systemd's own rating of what the gateway may still
# reach, 0.0 (nothing) to 10.0; 1.5 is the most it may rise to.
for unit in "${UNITS[0]}" "${INSTANCE_UNITS[0]}"; do
	security=$(systemd-analyze security --offline=true "$unit" 2>&1) ||
		{ echo "$security"; fail "systemd-analyze security $unit"; }
	exposure=$(sed -n 's/^.*Overall exposure level for [^:]*: \([0-9][0-9.]*\) .*$/\1/p' <<<"$security")
	[ -n "$exposure" ] || { echo "$security"; fail "no exposure figure for $unit"; }
	echo "exposure of $(basename "$unit"): $exposure"
	awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' ||
		{ grep '✗' <<<"$security"; fail "exposure of $unit $exposure is above 1.5"; }
done
grep -q '^OnCalendar=\*:0/15$' "${UNITS[1]}" || fail "the timer's schedule"
[ ! -e /etc/systemd/system/timers.target.wants/tallowmere-gateway.timer ] || fail "the timer is enabled"
rotate=$(logrotate -d /etc/logrotate.d/tallowmere 2>&1) || { echo "$rotate"; fail "logrotate -d"; }
! grep -qi 'error' <<<"$rotate" || { echo "$rotate"; fail "logrotate -d reports an error"; }
for page in quillon setwick tallowmere-instance; do
	zcat "/usr/share/man/man8/$page.8.gz" | mandoc -T lint -W warning || fail "mandoc -T lint $page"
	warnings=$(MANWIDTH=80 man --warnings 8 "$page" 2>&1 >/dev/null)
	[ -z "$warnings" ] || fail "man --warnings $page: $warnings"
done

echo "== tallowmere-instance: two instances, north and south"
before=$(ls -A "$MACHINE_ROOT" "$SPOOL" /etc/tallowmere)
for name in '' 'a/b' 'a.b' '-a' 'locks' 'quillon' 'eventlog' 'a b' 'ä'; do
	status=0; /usr/sbin/tallowmere-instance "$name" >/dev/null 2>&1 || status=$?
	[ "$status" -eq 2 ] || fail "tallowmere-instance accepted \"$name\" (status $status)"
done
[ "$(ls -A "$MACHINE_ROOT" "$SPOOL" /etc/tallowmere)" = "$before" ] || fail "a refused name left something"
for name in north south; do
	/usr/sbin/tallowmere-instance "$name" >instance.log || { cat instance.log; fail "tallowmere-instance $name"; }
	grep -q "systemctl enable --now tallowmere-gateway@$name.timer" instance.log ||
		fail "no message from tallowmere-instance $name"
	for dir in "$MACHINE_ROOT/$name" "$MACHINE_ROOT/$name/eventlog" "$MACHINE_ROOT/$name/locks" \
		"$SPOOL/$name"; do
		expect_ownership "$dir" "tallowmere:tallowmere 700"
	done
	expect_ownership "$MACHINE_ROOT/$name/registry.reg" "tallowmere:tallowmere 600"
	expect_ownership "/etc/tallowmere/$name/maillist.txt" "root:root 644"
	expected=$(printf '%s\n' 'REGEDIT4' '' \
		'[HKEY_LOCAL_MACHINE\SOFTWARE\Brackwater\Tallowmere\1.0]' \
		"\"installdir\"=\"/etc/tallowmere/$name\"" '"smtpmode"="standard"' '' \
		'[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\MSExchangeIMC\Parameters]' \
		"\"RootDir\"=\"/var/spool/tallowmere/$name\"")
	[ "$(cat "$MACHINE_ROOT/$name/registry.reg")" = "$expected" ] ||
		fail "$name's registry.reg holds: $(cat "$MACHINE_ROOT/$name/registry.reg")"
done
rm -f instance.log
# Once more changes nothing.
registry=$(md5sum <"$MACHINE_ROOT/north/registry.reg")
/usr/sbin/tallowmere-instance north >/dev/null || fail "tallowmere-instance north a second time"
[ "$(md5sum <"$MACHINE_ROOT/north/registry.reg")" = "$registry" ] || fail "a second make changed north"

echo "== setwick saves as root, quillon delivers as tallowmere, two instances at once (tests/package)"
unshare -n bash -c 'ip link set lo up && env -u TALLOWMERE_ROOT timeout 400 \
	build/bin/package_installed_test --gtest_brief=1' || fail "the installed package's test"

echo "== An upgrade keeps every setting, spool file and the administrator's maillist.txt"
registry=$(md5sum <"$MACHINE_ROOT/registry.reg")
spool=$(find "$SPOOL" -type f | sort | xargs md5sum)
echo 'news@lists.example.org' >>/etc/tallowmere/maillist.txt
dpkg -i "$deb" >/dev/null 2>&1 || fail "upgrade"
[ "$(md5sum <"$MACHINE_ROOT/registry.reg")" = "$registry" ] || fail "the upgrade changed the registry"
[ "$(find "$SPOOL" -type f | sort | xargs md5sum)" = "$spool" ] || fail "the upgrade changed the spool"
tail -n 1 /etc/tallowmere/maillist.txt | grep -qx 'news@lists.example.org' ||
	fail "the upgrade replaced maillist.txt"

echo "== An upgrade keeps an empty smtpmode, and the lack of one"
registry_tool() { TALLOWMERE_ROOT="$MACHINE_ROOT" /usr/lib/tallowmere/tallowmere-registry "$@"; }
registry_tool set "$SETTINGS_KEY" smtpmode '' || fail "emptying smtpmode"
dpkg -i "$deb" >/dev/null 2>&1 || fail "upgrade over an empty smtpmode"
[ "$(registry_tool get "$SETTINGS_KEY" smtpmode)" = "" ] || fail "the upgrade filled an empty smtpmode"
# As an installation older than the value left the key.
grep -v '^"smtpmode"=' "$MACHINE_ROOT/registry.reg" >registry.without || true
cat registry.without >"$MACHINE_ROOT/registry.reg" && rm registry.without  # same file, same owner
dpkg -i "$deb" >/dev/null 2>&1 || fail "upgrade over a key without smtpmode"
status=0; registry_tool get "$SETTINGS_KEY" smtpmode >/dev/null 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "the upgrade added smtpmode to an existing key (status $status)"
registry_tool set "$SETTINGS_KEY" smtpmode standard || fail "restoring smtpmode"

echo "== Purge: the machine roots go, the spools holding mail in \"out\" stay"
systemctl enable tallowmere-gateway.timer >/dev/null 2>&1 || fail "systemctl enable"
systemctl enable tallowmere-gateway@north.timer >/dev/null 2>&1 || fail "systemctl enable north"
[ -e /etc/systemd/system/timers.target.wants/tallowmere-gateway@north.timer ] ||
	fail "no link of north's timer"
[ -d "$SPOOL/north/quillon/out" ] || fail "setwick made no spool for north"
echo 'To: bob@example.com' >"$SPOOL/south/quillon/out/waiting"
out=$(ls "$SPOOL/quillon/out")
[ -n "$out" ] || fail "no message waits in out"
dpkg --purge tallowmere >/dev/null 2>&1 || fail "purge"
[ ! -e "$MACHINE_ROOT" ] || fail "the machine root survived the purge"
[ ! -e /etc/tallowmere ] || fail "/etc/tallowmere survived the purge"
[ ! -e /etc/systemd/system/timers.target.wants/tallowmere-gateway.timer ] ||
	fail "the timer's link survived the purge"
[ ! -e /etc/systemd/system/timers.target.wants/tallowmere-gateway@north.timer ] ||
	fail "north's timer's link survived the purge"
[ "$(ls "$SPOOL/quillon/out")" = "$out" ] || fail "the message in out did not survive the purge"
[ ! -e "$SPOOL/north" ] || fail "north's empty spool survived the purge: $(find "$SPOOL/north")"
[ "$(ls "$SPOOL/south/quillon/out")" = waiting ] || fail "south's mail did not survive the purge"
rm -r "$SPOOL/south"

echo "== Reinstalled over that spool; once the mail is gone a purge removes the spool"
dpkg -i "$deb" >/dev/null 2>&1 || fail "reinstallation over a surviving spool"
touch "$MACHINE_ROOT/$MARKER"
[ "$(ls "$SPOOL/quillon/out")" = "$out" ] || fail "the reinstallation touched the spool"
[ "$(registry_tool get "$SETTINGS_KEY" smtpmode)" = standard ] ||
	fail "a new settings key after the purge lacks smtpmode standard"
rm "$SPOOL/quillon/out/$out" "$SPOOL/$MARKER"
dpkg --purge tallowmere >/dev/null 2>&1 || fail "second purge"
[ ! -e "$SPOOL" ] || fail "an empty spool survived the purge: $(find "$SPOOL")"

echo "== The package passed"
