#!/usr/bin/env bash
# vmdsremove.exe under Wine, next to a vmds.ini that lists three instances: "Run One" (service
# running), "Stopped" (registered, stopped) and "Missing" (never registered); the master's
# service runs too. Anything but the one argument "remove_all_services" must do nothing; with it
# the tool stops and deletes every registered service, reports the missing one and ends with 0.
# Usage: vmdsremove_test.sh WINDOWS_BIN_DIR REPO_ROOT
set -u
bin="$1"
root="$2"
source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start || exit 1

fail() { echo "FAIL: $*" >&2; exit 1; }

drive_c=$(wine_drive_c)
install="$drive_c/VMDS"
mkdir -p "$install/Run One" "$install/Stopped"
cp "$bin/vmdsremove.exe" "$install/" || fail "no vmdsremove.exe"
for dir in "$install" "$install/Run One" "$install/Stopped"; do
  cp "$bin/vmds_test_service.exe" "$dir/vmds.exe" || fail "no vmds_test_service.exe"
done
printf '%s\r\n' '[Daltrimore Velmora Device Server - Instance Manager - Master]' ' ' \
  'FirstTimeRun=False' 'InstallDir=C:\VMDS' 'MasterInstance=True' \
  'NumberofInstancesInstalled=3' 'InstanceNamesList=Run One%Stopped%Missing' \
  'InstanceName=Master' 'ServiceName=Daltrimore_VMDS_Mstr' >"$install/vmds.ini"

register() {  # service name, program path
  wine_run 30 sc create "$1" binPath= "\"$2\"" start= auto >/dev/null || fail "sc create $1"
}
state_of() {  # prints the service's state word, or "1060" when it does not exist
  local out
  out=$(wine_run 30 sc query "$1" 2>&1 | tr -d '\r')
  if grep -q 1060 <<<"$out"; then echo 1060; return; fi
  sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' <<<"$out"
}

register Daltrimore_VMDS_Mstr 'C:\VMDS\vmds.exe'
register Daltrimore_VMDS_Run_One 'C:\VMDS\Run One\vmds.exe'
register Daltrimore_VMDS_Stopped 'C:\VMDS\Stopped\vmds.exe'
wine_run 30 sc start Daltrimore_VMDS_Mstr >/dev/null || fail "sc start Mstr"
wine_run 30 sc start Daltrimore_VMDS_Run_One >/dev/null || fail "sc start Run_One"
for i in $(seq 50); do
  [[ $(state_of Daltrimore_VMDS_Run_One) == RUNNING && $(state_of Daltrimore_VMDS_Mstr) == RUNNING ]] && break
  sleep 0.1
done
[[ $(state_of Daltrimore_VMDS_Run_One) == RUNNING ]] || fail "Run_One did not start"
[[ $(state_of Daltrimore_VMDS_Stopped) == STOPPED ]] || fail "Stopped is not stopped"

# Not asked to act: no output, exit 0, every service untouched.
cases=("" "remove_all_services remove_all_services" "Remove_All_Services")
for args in "${cases[@]}"; do
  # shellcheck disable=SC2086  # the words of a case are separate arguments
  out=$(wine_run 60 "$install/vmdsremove.exe" $args)
  rc=$?
  [[ $rc == 0 ]] || fail "args '$args': exit $rc"
  [[ -z "$out" ]] || fail "args '$args': printed '$out'"
done
[[ $(state_of Daltrimore_VMDS_Run_One) == RUNNING ]] || fail "a no-op run touched Run_One"
[[ $(state_of Daltrimore_VMDS_Stopped) == STOPPED ]] || fail "a no-op run touched Stopped"

# The removal pass.
out=$(wine_run 240 "$install/vmdsremove.exe" remove_all_services)
rc=$?
# Line ends are CR LF on the console; a stop slower than a second adds dots before " OK".
out=$(tr -d '\r' <<<"$out" | sed 's/ \.\.\.\.* OK$/ ... OK/')
expected='Removing the following services from the SCM:
"Daltrimore_VMDS_Mstr"
"Daltrimore_VMDS_Missing"
"Daltrimore_VMDS_Stopped"
"Daltrimore_VMDS_Run_One"
Attempting to stop the "Daltrimore_VMDS_Run_One" Service ... OK
Attempting to stop the "Daltrimore_VMDS_Mstr" Service ... OK
The following services could not be removed:
"Daltrimore_VMDS_Missing" could not be opened (error 1060: The specified service does not exist as an installed service.)'
if [[ "$out" != "$expected" ]]; then
  diff <(echo "$expected") <(echo "$out") >&2
  fail "unexpected console output"
fi
[[ $rc == 0 ]] || fail "exit code $rc"
for name in Daltrimore_VMDS_Mstr Daltrimore_VMDS_Run_One Daltrimore_VMDS_Stopped; do
  [[ $(state_of $name) == 1060 ]] || fail "$name is still registered"
done
[[ -f "$install/vmds.ini" && -f "$install/Run One/vmds.exe" ]] || fail "files were touched"
echo "vmdsremove under Wine: OK"
