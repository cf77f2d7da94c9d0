#!/bin/sh
# docs/fleet/upgrade-screens.yml as a user runs it, on three hosts that are
# all this machine (connection local), each upgrading one simulated screen:
# one has the firmware already (ok), one is given its own model's file
# (changed), one is given another model's file (failed, naming the screen
# and why). A check-mode run first must write nothing.
#
# upgrade-playbook.sh TAVRIK-SIM TAVRIKCTL FLEETFIRMWARE PLAYBOOK
set -eu

if [ "${1:-}" = --under-sim ]; then
  # The simulated bus lives as long as tavrik-sim, so everything runs here.
  "$TAVRIKCTL" upgrade "$WORK/firmware/TELV/TELV.6d8.TAVRIK.bin" --screen 1.4 --yes >"$WORK/first.log" 2>&1
  # Three tavrikctl at once on one machine would find each other's screens
  # in use while they look at the bus; a fleet has one host per machine.
  ansible-playbook --forks 1 --check -i "$WORK/hosts.ini" "$PLAYBOOK" >"$WORK/check.log" 2>&1 || true
  ansible-playbook --forks 1 -i "$WORK/hosts.ini" "$PLAYBOOK" >"$WORK/play.log" 2>&1 || true
  "$TAVRIKCTL" list --json >"$WORK/list.json"
  exit 0
fi

if ! command -v ansible-playbook >/dev/null 2>&1; then
  echo "SKIPPED: ansible-playbook is not installed (Debian: apt-get install ansible-core)"
  exit 77
fi
[ $# -eq 4 ] || { echo "usage: $0 TAVRIK-SIM TAVRIKCTL FLEETFIRMWARE PLAYBOOK" >&2; exit 2; }
# Ansible runs the command in a folder of its own.
sim=$(realpath "$1")
TAVRIKCTL=$(realpath "$2")
firmware_maker=$(realpath "$3")
PLAYBOOK=$(realpath "$4")
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export TAVRIKCTL PLAYBOOK WORK

# Nothing lands in the user's home, no configuration of theirs is read, and
# no installed firmware folder is looked in.
mkdir -p "$WORK/home" "$WORK/state" "$WORK/data" "$WORK/ansible/tmp" "$WORK/ansible/remote"
: >"$WORK/ansible.cfg"
export HOME="$WORK/home" XDG_STATE_HOME="$WORK/state" XDG_DATA_HOME="$WORK/data" XDG_DATA_DIRS="$WORK/data"
export ANSIBLE_CONFIG="$WORK/ansible.cfg" ANSIBLE_HOME="$WORK/ansible" ANSIBLE_LOCAL_TEMP="$WORK/ansible/tmp"
export ANSIBLE_REMOTE_TEMP="$WORK/ansible/remote" ANSIBLE_NOCOLOR=1 ANSIBLE_STDOUT_CALLBACK=default
unset TAVRIK_FIRMWARE_DIR

"$firmware_maker" "$WORK/firmware"
cat >"$WORK/hosts.ini" <<EOF
[screens]
up-to-date tavrik_screens=PHY(1.4) tavrik_firmware=$WORK/firmware/TELV/TELV.6d8.TAVRIK.bin
outdated   tavrik_screens=PHY(1.5) tavrik_firmware_dir=$WORK/firmware
wrong-file tavrik_screens=PHY(1.6) tavrik_firmware=$WORK/firmware/TELV/TELV.7d0.TAVRIK.bin tavrik_firmware_dir=$WORK/firmware

[screens:vars]
ansible_connection=local
ansible_python_interpreter={{ ansible_playbook_python }}
tavrikctl_path=$TAVRIKCTL
EOF

failures=0
fail() {
  echo "FAIL: $1"
  failures=$((failures + 1))
}
"$sim" --no-viewer --screen 6.8in-telv@1.4:seed=1,reboot-delay=200 --screen 7in-telv@1.5:seed=2,reboot-delay=200 \
  --screen 6.8in-telv@1.6:seed=3,reboot-delay=200 -- sh "$0" --under-sim || fail "the run under tavrik-sim failed"
id=$(python3 -c 'import json, sys
print(next(s["device_id"] for s in json.load(sys.stdin)["screens"] if s["port"] == "PHY(1.6)"))' \
  <"$WORK/list.json") || fail "tavrikctl list --json names no PHY(1.6)"
# host changed failed: its line of the play recap.
recap() {
  grep -Eq "^$2 +: ok=[0-9]+ +changed=$3 +unreachable=0 +failed=$4 " "$1" ||
    fail "$(basename "$1"): $2 should end with changed=$3 failed=$4"
}
for log in "$WORK/check.log" "$WORK/play.log"; do
  recap "$log" up-to-date 0 0
  recap "$log" outdated 1 0
  recap "$log" wrong-file 0 1
  # The failed screen is named by its port and device ID, with the reason.
  if ! grep -Fq "PHY(1.6) ${id:-?}: refused: " "$log" || ! grep -q "TELV.7d0.TAVRIK.bin is made for" "$log"; then
    fail "$(basename "$log"): no message names PHY(1.6) ${id:-?} and why it was refused"
  fi
done

if [ "$failures" -gt 0 ]; then
  for log in first.log check.log play.log list.json; do
    echo "== $log"
    cat "$WORK/$log" 2>/dev/null || true
  done
  exit 1
fi
sed -n '/^PLAY RECAP/,$p' "$WORK/play.log"
