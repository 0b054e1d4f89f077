#!/bin/sh
# The guest's init: loads the ATAPI drive's modules, serves the drive with
# tamsor-serve and reads it back over HTTP and TFTP with curl. Results go
# to the second serial port, one "PASS name" or "FAIL name: why" a line,
# then "DONE". The host swaps the disc (QMP) once it sees the tray open.
export PATH=/bin:/sbin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
exec 3>/dev/ttyS1
say() { echo "$*" >&3; }
check() {  # check NAME COMMAND...: PASS or FAIL with the command's words
    name=$1; shift
    if why=$("$@" 2>&1); then say "PASS $name"; else say "FAIL $name: $why"; fi
}
finish() { say "DONE"; sync; poweroff -f; }

for module in scsi_common scsi_mod cdrom sr_mod libata ata_piix; do
    insmod /modules/$module.ko || say "FAIL insmod $module"
done
ip link set lo up 2>/dev/null || ifconfig lo 127.0.0.1 up
i=0
while [ ! -b /dev/sr0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
[ -b /dev/sr0 ] || { say "FAIL no /dev/sr0"; finish; }

SERVE_OUT=/tmp/serve.out
SERVE_ERR=/tmp/serve.err
tamsor-serve --keep-booting '\\.\CdRom0' >$SERVE_OUT 2>$SERVE_ERR &
SERVE=$!
i=0
while ! grep -q 'http=' $SERVE_OUT && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
HTTP=$(sed -n 's/.*http=\([0-9]*\).*/\1/p' $SERVE_OUT)
TFTP=$(sed -n 's/.*tftp=\([0-9]*\).*/\1/p' $SERVE_OUT)
[ -n "$HTTP" ] || { say "FAIL serve: $(cat $SERVE_OUT $SERVE_ERR)"; finish; }
URL=http://127.0.0.1:$HTTP/CdRom0.dmg
BAD=$(cat /expected/bad-offset)          # first byte of the unreadable sector
SIZE=$(stat -c %s /expected/disc.img)

# range START END: curl's code and body for bytes START..END of the image.
range() { curl -s -o /tmp/body -w '%{http_code}' -r "$1-$2" "$URL"; }
# exact START END: a 206 with exactly the disc's bytes.
exact() {
    code=$(range "$1" "$2")
    [ "$code" = 206 ] || { echo "HTTP $code"; return 1; }
    tail -c +$(($1 + 1)) /expected/disc.img | head -c $(($2 - $1 + 1)) >/tmp/want
    cmp /tmp/body /tmp/want
}
# refused START END: never a 206 with made-up bytes; a 500 before the head or
# a connection closed within the body, whose bytes are the disc's and stop
# before the unreadable sector.
refused() {
    code=$(range "$1" "$2"); status=$?
    if [ "$code" = 500 ]; then return 0; fi
    [ "$code" = 206 ] && [ $status -ne 0 ] || { echo "HTTP $code, curl $status"; return 1; }
    got=$(stat -c %s /tmp/body)
    [ $(($1 + got)) -le "$BAD" ] || { echo "$got bytes reach past $BAD"; return 1; }
    tail -c +$(($1 + 1)) /expected/disc.img | head -c "$got" >/tmp/want
    cmp /tmp/body /tmp/want
}
tftp_exact() {  # tftp_exact NAME FILE
    curl -s -o /tmp/tftp "tftp://127.0.0.1:$TFTP/$1" || { echo "curl $?"; return 1; }
    cmp /tmp/tftp "$2"
}
tftp_refused() {  # tftp_refused NAME FILE: an error, and only a true prefix
    rm -f /tmp/tftp
    curl -s -o /tmp/tftp "tftp://127.0.0.1:$TFTP/$1" && { echo "whole file delivered"; return 1; }
    [ -f /tmp/tftp ] || return 0
    got=$(stat -c %s /tmp/tftp)
    head -c "$got" "$2" >/tmp/want
    cmp /tmp/tftp /tmp/want
}

good_ranges() {
    exact 0 2047 && exact 1000 140000 && exact $((BAD + 2048)) $((BAD + 300000)) &&
        exact $((SIZE - 5000)) $((SIZE - 1)) && exact $((BAD - 4096)) $((BAD - 1))
}
check "first disc: good ranges byte-exact" good_ranges
check "first disc: a range over the unreadable sector is refused" refused $((BAD - 10)) $((BAD + 10))
check "first disc: a long range over it closes within the body" refused 0 $((BAD + 200000))
check "first disc: TFTP of a good file byte-exact" tftp_exact 1/booter /expected/booter
check "first disc: TFTP over the unreadable sector ends in an error" \
    tftp_refused 1/mach.orvane /expected/mach_kernel
check "first disc: the event dump names the failed position" \
    grep -qE "sector $((BAD / 2048))([^0-9]|\$)" $SERVE_ERR
check "first disc: the server still serves" exact 4096 8191

# The installer asks for the next disc: tamsor-serve ejects the drive, the
# host sees the tray open and puts the next disc in.
curl -s -o /dev/null -X POST -H 'Content-Type: text/xml' --data-binary @/expected/eject.plist \
    "http://127.0.0.1:$HTTP/"
i=0
while ! grep -q 'Serving' $SERVE_OUT || [ "$(grep -c Serving $SERVE_OUT)" -lt 2 ]; do
    [ $i -ge 600 ] && break
    sleep 0.1; i=$((i + 1))
done
check "second disc: served after the swap" test "$(grep -c Serving $SERVE_OUT)" -ge 2
whole_disc() { exact 0 $((SIZE - 1)) && exact $((BAD - 10)) $((BAD + 10)); }
check "second disc: every range byte-exact, the old bad place too" whole_disc
check "second disc: TFTP byte-exact" tftp_exact 1/mach.orvane /expected/mach_kernel
kill $SERVE
wait $SERVE 2>/dev/null
say "--- tamsor-serve output"
sed 's/^/| /' $SERVE_OUT >&3
sed 's/^/| /' $SERVE_ERR | tail -40 >&3
finish
