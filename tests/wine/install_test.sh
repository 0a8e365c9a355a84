#!/usr/bin/env bash
# zelkor.inf and zkctl's installation commands under Wine, against prepared
# registries with other filters already present: before and after ours,
# our name already there, an empty list, no value at all.
#
#   install_test.sh PREFIX ZELKOR_SYS ZKCTL_EXE INF
#
# PREFIX is a Wine prefix of this test's own (made on first use, then kept).
# Checked:
#   - the service-only section copies the image and creates a demand-start
#     service, and leaves every class key byte for byte as it was;
#   - each class's install section appends "zelkor" to that class's
#     UpperFilters, keeps every other entry in its place, never adds it twice,
#     creates the service (a boot driver for disks and CD-ROMs, demand start
#     for the rest, and no later section lowers the disks' start type) and
#     copies the image;
#   - each uninstall section takes "zelkor" out of its own class only, and
#     DefaultUninstall removes the service and the image. It runs with the
#     driver loaded, as on a machine whose disks carry it: the image cannot
#     go while the driver runs (Windows deletes it at the next restart), and
#     goes when DefaultUninstall runs again with the driver stopped. (A boot
#     driver is started by services.exe whenever a Wine server starts, at a
#     moment of its own: so the test holds one server for the whole run and
#     starts the driver itself, and never races that start.)
#   - zkctl attach / detach on single devices, and debug-output on / off,
#     leave every value byte for byte as it was.
# Where Wine's setupapi differs from Windows', the check says so by a named
# rule instead of passing silently:
#   wine-append-missing: Wine's FLG_ADDREG_APPEND does nothing when the value
#     does not exist (Windows creates it); the class is then left as it was.
#   wine-property-delete: Wine's SetupDiSetDeviceRegistryProperty, given no
#     data, stores an empty list where Windows deletes the property; a device
#     that had no UpperFilters before attach may keep an empty one after
#     detach, and nothing else.
#   wine-noclobber-starttype: Wine's AddService ignores
#     SPSVCINST_NOCLOBBER_STARTTYPE and writes the section's start type over
#     the existing service's; so the sections installed after the disks' one
#     leave a demand-start service here (Windows keeps the boot start).
#   wine-delstring: Wine's FLG_DELREG_MULTI_SZ_DELSTRING cuts the list it
#     rewrites (the list "kbdclass zelkor" comes back as "kbd"); so the
#     uninstall of a class whose list holds other filters is checked for
#     leaving no "zelkor" and no other key touched, not byte for byte. The
#     rule is checked itself, so a Wine that fixes it makes this test ask for
#     the byte-for-byte comparison instead.
# Exit status 77 (a skip) only when Wine is not installed.
set -uo pipefail

if [[ $# -ne 4 ]]; then
    echo "usage: $0 PREFIX ZELKOR_SYS ZKCTL_EXE INF" >&2
    exit 2
fi
prefix=$(realpath -m "$1") zelkor_sys=$2 zkctl_exe=$3 inf=$4

source "$(dirname "$0")/wine_env.sh"
wine_env "$prefix" "the INF and zkctl.exe"
mkdir -p "$(dirname "$prefix")"
exec 9> "$prefix.lock"
flock 9

version=$("$wine" --version 2>/dev/null)
stamp=$prefix/zelkor-install-prefix-ready
if [[ ! -f $stamp || $(cat "$stamp") != "$version" ]]; then
    rm -rf "$prefix"
    "$wine" wineboot -i > "$prefix.boot.log" 2>&1
    "$wineserver" -w
    [[ -d $prefix/drive_c/windows ]] || { echo "FAIL: wineboot made no prefix (see $prefix.boot.log)"; exit 1; }
    echo "$version" > "$stamp"
fi
"$wineserver" -k 2> /dev/null; "$wineserver" -w

# One Wine server for the whole test: a program that waits on a pipe the test
# holds open keeps it, and with it services.exe, alive until the end.
keeper=$(mktemp -u)
mkfifo "$keeper"
"$wine" cmd < "$keeper" > /dev/null 2>&1 &
exec 8> "$keeper"
rm -f "$keeper"
trap 'exec 8>&-; "$wineserver" -k 2> /dev/null' EXIT

failures=0
pass() { echo "ok:   $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

work=$prefix/drive_c/zelkor
rm -rf "$work" && mkdir -p "$work"
cp "$inf" "$work/zelkor.inf" && cp "$zelkor_sys" "$work/zelkor.sys" && cp "$zkctl_exe" "$work/zkctl.exe" ||
    { echo "FAIL: cannot copy into the prefix"; exit 1; }

reg() { "$wine" reg "$@" > /dev/null 2>&1; }
class_key() { echo "HKLM\\System\\CurrentControlSet\\Control\\Class\\$1"; }
services='HKLM\System\CurrentControlSet\Services'
debug_key='HKLM\System\CurrentControlSet\Control\Session Manager\Debug Print Filter'
# The UpperFilters of a key as "a b c", "(empty)" or "(none)". The key is
# listed whole, so that a value that is not there (the listing succeeds
# without it) is told from a query that failed (a busy Wine now and then
# fails a call), which is asked again.
filters() {
    local listing line attempt
    for attempt in 1 2 3; do
        listing=$("$wine" reg query "$1" 2> /dev/null | tr -d '\r') && break
        listing=
    done
    line=$(grep -E '^ +UpperFilters +REG_' <<< "$listing") || { echo "(none)"; return; }
    line=$(sed 's/.*REG_MULTI_SZ *//' <<< "$line")
    [[ -z $line ]] && { echo "(empty)"; return; }
    sed 's/\\0/ /g' <<< "$line"
}
# The key's values as exported, for byte-for-byte comparisons.
export_key() { "$wine" reg export "$1" "$2" /y > /dev/null 2>&1 || : > "$2"; }
inf_section() { "$wine" rundll32 setupapi.dll,InstallHinfSection "$1" 128 'C:\zelkor\zelkor.inf' > /dev/null 2>&1; }
zkctl() { "$wine" 'C:\zelkor\zkctl.exe' "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }

# A clean slate: no service, the classes' lists as each case wants them.
"$wine" sc delete zelkor > /dev/null 2>&1
reg delete "$services\\zelkor" /f
rm -f "$prefix/drive_c/windows/system32/drivers/zelkor.sys"
declare -A guid=(
    [Disk]={4d36e967-e325-11ce-bfc1-08002be10318} [CdRom]={4d36e965-e325-11ce-bfc1-08002be10318}
    [Usb]={36fc9e60-c465-11cf-8056-444553540000} [Ieee1394]={6bdd1fc1-810f-11d0-bec7-08002be2092f}
    [Keyboard]={4d36e96b-e325-11ce-bfc1-08002be10318} [Mouse]={4d36e96f-e325-11ce-bfc1-08002be10318})
declare -A before=([Disk]='' [CdRom]='' [Usb]='first\0second' [Ieee1394]='ohci1394\0zelkor\0sbp2port'
    [Keyboard]='kbdclass' [Mouse]='zelkor\0mouclass')
declare -A installed=([Disk]='(none)' [CdRom]='zelkor' [Usb]='first second zelkor'
    [Ieee1394]='ohci1394 zelkor sbp2port' [Keyboard]='kbdclass zelkor' [Mouse]='zelkor mouclass')
for class in "${!guid[@]}"; do
    key=$(class_key "${guid[$class]}")
    reg delete "$key" /v UpperFilters /f
    reg add "$key" /f
    if [[ $class == CdRom ]]; then
        reg add "$key" /v UpperFilters /t REG_MULTI_SZ /d '' /f
    elif [[ -n ${before[$class]} ]]; then
        reg add "$key" /v UpperFilters /t REG_MULTI_SZ /d "${before[$class]}" /f
    fi
    export_key "$key" "$work/$class.before.reg"
done

start_type() {
    "$wine" reg query "$services\\zelkor" /v Start 2> /dev/null | tr -d '\r' | awk '/Start/ {print $3}'
}

# ---------------------------------------------------------------------------
# The service alone: the image and a demand-start service, no class touched.
inf_section Zelkor.Service.Install || fail "Zelkor.Service.Install did not run"
[[ $(start_type) == 0x3 ]] && pass "the service-only section installs a demand-start service" ||
    fail "the service-only section's start type is '$(start_type)', expected 0x3"
[[ -f $prefix/drive_c/windows/system32/drivers/zelkor.sys ]] && pass "the service-only section copies the image" ||
    fail "the service-only section did not copy the image"
untouched=yes
for class in "${!guid[@]}"; do
    export_key "$(class_key "${guid[$class]}")" "$work/$class.service-only.reg"
    cmp -s "$work/$class.before.reg" "$work/$class.service-only.reg" || untouched=no
done
[[ $untouched == yes ]] && pass "the service-only section leaves every class key byte for byte as it was" ||
    fail "the service-only section changed a class key"

# ---------------------------------------------------------------------------
# The INF: install for every class (USB first, then disks, then the rest).
for class in Usb Disk CdRom Ieee1394 Keyboard Mouse; do
    inf_section "Zelkor.$class.Install" || fail "Zelkor.$class.Install did not run"
    if [[ $class == Usb ]]; then
        [[ $(start_type) == 0x3 ]] && pass "USB's section keeps the demand start" ||
            fail "after USB's section the start type is '$(start_type)', expected 0x3"
    elif [[ $class == Disk ]]; then
        [[ $(start_type) == 0x0 ]] && pass "the disks' section makes the service a boot driver" ||
            fail "after the disks' section the start type is '$(start_type)', expected 0x0"
    fi
done
inf_section "Zelkor.Usb.Install"  # twice: nothing more
for class in "${!guid[@]}"; do
    got=$(filters "$(class_key "${guid[$class]}")")
    want=${installed[$class]}
    if [[ $class == Disk && $got == '(none)' ]]; then
        pass "Disk: no value before, none after (rule wine-append-missing)"
    elif [[ $got == "$want" ]]; then
        pass "$class: UpperFilters after install: $got"
    else
        fail "$class: UpperFilters after install: '$got', expected '$want'"
    fi
done
start=$(start_type)
if [[ $start == 0x0 ]]; then
    pass "the service starts with the boot drivers, whichever sections came after the disks'"
elif [[ $start == 0x3 ]]; then
    pass "a later section lowered the start type to demand (rule wine-noclobber-starttype)"
else
    fail "the service's start type is '$start', expected 0x0"
fi
[[ -f $prefix/drive_c/windows/system32/drivers/zelkor.sys ]] && pass "the image is in system32\\drivers" ||
    fail "the image was not copied"

# Wine's own fault, checked so that a fixed Wine is noticed.
probe=$(class_key "{00000000-0000-0000-0000-0000000000fe}")
reg add "$probe" /v UpperFilters /t REG_MULTI_SZ /d 'kbdclass\0zelkor' /f
printf '[Version]\r\nSignature="$WINDOWS NT$"\r\n[P]\r\nDelReg=D\r\n[D]\r\nHKLM,"%s",UpperFilters,0x00018002,zelkor\r\n' \
    'System\CurrentControlSet\Control\Class\{00000000-0000-0000-0000-0000000000fe}' > "$work/probe.inf"
"$wine" rundll32 setupapi.dll,InstallHinfSection P 128 'C:\zelkor\probe.inf' > /dev/null 2>&1
wine_delstring=no
[[ $(filters "$probe") != kbdclass ]] && wine_delstring=yes
reg delete "$probe" /f

for class in "${!guid[@]}"; do
    key=$(class_key "${guid[$class]}")
    inf_section "Zelkor.$class.Uninstall"
    export_key "$key" "$work/$class.after.reg"
    got=$(filters "$key")
    if cmp -s "$work/$class.before.reg" "$work/$class.after.reg"; then
        pass "$class: after uninstall the class key is byte for byte as before"
    elif [[ $wine_delstring == yes && $got != *zelkor* ]]; then
        pass "$class: after uninstall no 'zelkor' is left ('$got'; rule wine-delstring)"
    else
        fail "$class: after uninstall UpperFilters is '$got'"
    fi
done
"$wine" reg query "$services\\zelkor" > /dev/null 2>&1 && pass "the class uninstalls leave the service" ||
    fail "a class uninstall removed the service"

# ---------------------------------------------------------------------------
# zkctl on single devices. Wine rewrites a device's ClassGUID in capitals when
# it opens the device: the devices are prepared that way so that only what
# zkctl changes could differ.
enum='HKLM\System\CurrentControlSet\Enum'
declare -A devices=(
    ['USB\VID_0781&PID_5567\0001']='first\0second'
    ['USB\VID_0781&PID_5567\0002']='zelkor\0other'
    ['USB\VID_0781&PID_5567\0003']='empty'
    ['USB\VID_0781&PID_5567\0004']='none'
    ['USB\VID_0781&PID_5567\0005']='a\0zelkor\0b\0zelkor')
n=0
for id in "${!devices[@]}"; do
    key="$enum\\$id"
    reg delete "$key" /f
    reg add "$key" /v ClassGUID /t REG_SZ /d '{36FC9E60-C465-11CF-8056-444553540000}' /f
    reg add "$key" /v DeviceDesc /t REG_SZ /d 'USB Mass Storage Device' /f
    case ${devices[$id]} in
        none) ;;
        empty) reg add "$key" /v UpperFilters /t REG_MULTI_SZ /d '' /f ;;
        *) reg add "$key" /v UpperFilters /t REG_MULTI_SZ /d "${devices[$id]}" /f ;;
    esac
    n=$((n + 1))
    export_key "$key" "$work/device$n.before.reg"
    zkctl attach "$id" > "$work/attach$n.txt"
    status=$?
    attached=$(filters "$key")
    if [[ $status -eq 0 && " $attached " == *" zelkor "* ]]; then
        pass "attach $id: $attached"
    else
        fail "attach $id (exit $status): $attached"; cat "$work/attach$n.txt"
    fi
    if [[ ${devices[$id]} != *zelkor* ]]; then
        grep -q 'takes effect' "$work/attach$n.txt" && pass "attach says when the change takes effect" ||
            fail "attach does not say when the change takes effect"
    fi
    zkctl status | grep -qF "$id" && pass "status lists $id" || fail "status does not list $id"
    zkctl detach "$id" > "$work/detach$n.txt" || fail "detach $id failed"
    export_key "$key" "$work/device$n.after.reg"
    if [[ ${devices[$id]} == *zelkor* ]]; then
        # Named before zkctl came: attach changed nothing, detach takes every copy out.
        left=$(filters "$key")
        [[ $left != *zelkor* ]] && pass "detach $id took every 'zelkor' out: $left" ||
            fail "detach $id left '$left'"
    elif cmp -s "$work/device$n.before.reg" "$work/device$n.after.reg"; then
        pass "detach $id: the device's key is byte for byte as before"
    elif [[ ${devices[$id]} == none &&
            $(diff <(iconv -f utf-16 -t utf-8 "$work/device$n.before.reg") \
                   <(iconv -f utf-16 -t utf-8 "$work/device$n.after.reg") | tr -d '\r' | grep '^[<>]') == '> "UpperFilters"=hex(7):' ]]; then
        pass "detach $id: as before but for an empty UpperFilters (rule wine-property-delete)"
    else
        fail "detach $id: the device's key differs"; diff <(iconv -f utf-16 -t utf-8 "$work/device$n.before.reg") \
            <(iconv -f utf-16 -t utf-8 "$work/device$n.after.reg")
    fi
    reg delete "$key" /f
done

for prepared in none 0x8; do
    reg delete "$debug_key" /v DEFAULT /f
    [[ $prepared != none ]] && reg add "$debug_key" /v DEFAULT /t REG_DWORD /d "$prepared" /f
    export_key "$debug_key" "$work/debug.before.reg"
    zkctl debug-output on > /dev/null || fail "debug-output on failed"
    value=$("$wine" reg query "$debug_key" /v DEFAULT 2> /dev/null | tr -d '\r' | awk '/DEFAULT/ {print $3}')
    [[ $value == 0xffffffff ]] && pass "debug-output on sets DEFAULT (was $prepared)" ||
        fail "debug-output on left DEFAULT '$value'"
    zkctl debug-output off > /dev/null || fail "debug-output off failed"
    export_key "$debug_key" "$work/debug.after.reg"
    cmp -s "$work/debug.before.reg" "$work/debug.after.reg" &&
        pass "debug-output off puts the value back byte for byte (was $prepared)" ||
        fail "debug-output off did not put the value back (was $prepared)"
done

# ---------------------------------------------------------------------------
# Everything out, with the driver loaded.
"$wine" sc start zelkor > /dev/null 2>&1
for _ in $(seq 40); do
    "$wine" sc query zelkor 2> /dev/null | grep -q RUNNING && break
    sleep 0.25
done
"$wine" sc query zelkor 2> /dev/null | grep -q RUNNING || fail "the driver did not start"
inf_section DefaultUninstall
"$wine" reg query "$services\\zelkor" > /dev/null 2>&1 && fail "DefaultUninstall left the service" ||
    pass "DefaultUninstall stopped and removed the service"
image=$prefix/drive_c/windows/system32/drivers/zelkor.sys
[[ -f $image ]] && pass "the image of the running driver stays (Windows deletes it at the next restart)" ||
    fail "DefaultUninstall removed the image of a running driver"
inf_section DefaultUninstall
[[ -f $image ]] && fail "DefaultUninstall, with the driver stopped, left the image" ||
    pass "DefaultUninstall removed the image once the driver had stopped"

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
