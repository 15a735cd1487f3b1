#!/bin/bash
# local-cluster.sh start DIR [OWNER_PID] | stop DIR: a one-machine Slurm cluster of two
# CPUs for tests and for trying tools/slurm/upscale.sh by hand, as root and
# without systemd: its own munged, slurmctld and slurmd, with slurm.conf,
# keys, sockets, state, pid files and logs all inside DIR, on free ports, so
# it never touches a system cluster or another test's.
#
#   start: makes DIR, starts the daemons and waits (bounded) until the node
#          is idle. Clients reach it with SLURM_CONF=DIR/slurm.conf. Exits 3
#          with the reason when this machine cannot run it (not root, a
#          package missing); on any other failure it stops what it started,
#          prints the logs and exits 1. With OWNER_PID (a test program), a
#          watcher stops the cluster once that process has ended, however
#          it ended (a crash, a timeout's SIGKILL).
#   stop:  stops every daemon by the pid in its pid file, then every process
#          started for this cluster (job steps and their programs, which
#          carry SLURM_CONF=DIR/slurm.conf), waits until all are gone and
#          removes DIR. Safe to run twice or on a half-started cluster.
set -u
ACTION=${1:-} DIR=${2:-} OWNER=${3:-}
case "$ACTION" in start | stop) ;; *)
  echo "usage: local-cluster.sh start|stop DIR" >&2
  exit 2
  ;;
esac
[ -n "$DIR" ] || { echo "local-cluster.sh: no folder given" >&2; exit 2; }
DIR=$(realpath -m "$DIR")
CONF=$DIR/slurm.conf

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tenths=$1
  shift
  for ((i = 0; i < tenths; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# A zombie has ended: its parent (init, for a daemon) reaps it in its own time.
alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null; }

# TERM, up to 5 s to go, then KILL.
end_pid() {
  local pid=$1
  alive "$pid" || return 0
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 50; i++)); do alive "$pid" || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
  for ((i = 0; i < 20; i++)); do alive "$pid" || return 0; sleep 0.1; done
}

pid_of() { [ -s "$1" ] && tr -dc '0-9' <"$1"; }

# Processes of this cluster: the daemons carry its marker in their
# environment (set when they were started); a step daemon (which overwrites
# its environment with its title) holds the cluster's log and sockets open;
# a job's programs run in the session of their step daemon. This script, the
# processes above it and munged (stopped last, by its pid) are not among them.
MARK=LMR_LOCAL_CLUSTER=$DIR
cluster_pids() {
  local p q=$BASHPID keep sids=" "
  keep=" $(pid_of "$DIR/munge/munged.pid") "
  while [ -n "$q" ] && [ "$q" != 0 ]; do
    keep="$keep$q "
    q=$(sed -n 's/^PPid:[[:space:]]*//p' "/proc/$q/status" 2>/dev/null)
  done
  # A few commands for all processes: a process start costs tens of
  # milliseconds here.
  for p in $({
    grep -lzxF "$MARK" /proc/[0-9]*/environ
    find /proc/[0-9]*/fd -lname "$DIR/*"
  } 2>/dev/null | cut -d/ -f3 | sort -u); do
    case "$keep" in *" $p "*) continue ;; esac
    echo "$p"
    # Fields after the command name: state, parent, group, session. Zombies
    # have ended; whoever is their parent reaps them.
    sids="$sids$(sed 's/.*) //' "/proc/$p/stat" 2>/dev/null | cut -d' ' -f4) "
  done
  [ "$sids" = " " ] && return 0
  cat /proc/[0-9]*/stat 2>/dev/null | awk -v sids="$sids" -v keep="$keep" \
    '{ pid = $1; sub(/.*\) /, ""); if ($1 != "Z" && index(sids, " " $4 " ") && !index(keep, " " pid " ")) print pid }'
}

stop() {
  [ -d "$DIR" ] || return 0
  local pid pids
  # Jobs first, through Slurm itself, while its daemons still run.
  if [ -f "$CONF" ] && alive "$(pid_of "$DIR/slurmctld.pid")"; then
    SLURM_CONF=$CONF timeout 10 scancel --quiet --user=root >/dev/null 2>&1
  fi
  for f in slurmd.pid slurmctld.pid; do
    pid=$(pid_of "$DIR/$f")
    [ -n "$pid" ] && end_pid "$pid"
  done
  # Whatever a step left behind, with its step daemon.
  for ((round = 0; round < 20; round++)); do
    pids=$(cluster_pids)
    [ -z "$pids" ] && break
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null
    sleep 0.1
  done
  pid=$(pid_of "$DIR/munge/munged.pid")
  [ -n "$pid" ] && end_pid "$pid"
  rm -rf "$DIR"
}

if [ "$ACTION" = stop ]; then
  # No process of this script may carry the marker, not even a subshell
  # (whose environment block is the one this script started with).
  if [ -n "${LMR_LOCAL_CLUSTER:-}${SLURM_CONF:-}" ]; then
    exec env -u LMR_LOCAL_CLUSTER -u SLURM_CONF /bin/bash "$0" stop "$DIR"
  fi
  stop
  exit 0
fi

# ---- start ----
[ "$(id -u)" = 0 ] || { echo "local-cluster.sh: needs root (the daemons run as root and munge)" >&2; exit 3; }
for tool in munged munge unmunge slurmctld slurmd sbatch sinfo squeue scontrol runuser python3; do
  command -v "$tool" >/dev/null 2>&1 || PATH=$PATH:/usr/sbin:/sbin command -v "$tool" >/dev/null 2>&1 ||
    { echo "local-cluster.sh: $tool is missing (tools/setup.sh installs slurmctld, slurmd, slurm-client and munge)" >&2; exit 3; }
done
PATH=$PATH:/usr/sbin:/sbin
id munge >/dev/null 2>&1 || { echo "local-cluster.sh: no munge user (install the munge package)" >&2; exit 3; }
[ -r /etc/munge/munge.key ] || { echo "local-cluster.sh: no /etc/munge/munge.key (install the munge package)" >&2; exit 3; }

fail() {
  echo "local-cluster.sh: $*" >&2
  for log in "$DIR"/munge/munged.log "$DIR"/log/*.log; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  env -u LMR_LOCAL_CLUSTER -u SLURM_CONF /bin/bash "$0" stop "$DIR"
  exit 1
}

mkdir -p "$DIR" || exit 1
# munged serves its socket only when every folder above it is searchable.
chmod 0755 "$DIR"
mkdir -p "$DIR/munge" "$DIR/state" "$DIR/spool" "$DIR/log"
cp /etc/munge/munge.key "$DIR/munge/munge.key"
chown -R munge:munge "$DIR/munge"
chmod 0755 "$DIR/munge"
chmod 0400 "$DIR/munge/munge.key"
if [ -n "$OWNER" ]; then
  # Detached, without the cluster's marker and with no descriptor of the
  # owner's; it ends with the owner or with the folder.
  # shellcheck disable=SC2016
  setsid env -u LMR_LOCAL_CLUSTER -u SLURM_CONF /bin/bash -c '
    while kill -0 "$1" 2>/dev/null && [ -d "$2" ]; do sleep 1; done
    [ -d "$2" ] && exec /bin/bash "$0" stop "$2"' "$0" "$OWNER" "$DIR" \
    </dev/null >/dev/null 2>&1 &
fi
SOCK=$DIR/munge/munge.socket
runuser -u munge -- munged --socket="$SOCK" --key-file="$DIR/munge/munge.key" \
  --pid-file="$DIR/munge/munged.pid" --log-file="$DIR/munge/munged.log" \
  --seed-file="$DIR/munge/munged.seed" || fail "munged did not start"
# shellcheck disable=SC2016
wait_for 100 sh -c 'munge -S "$1" -n | unmunge -S "$1"' sh "$SOCK" || fail "munged does not answer"

# Two free ports, chosen by the kernel.
read -r CTLD_PORT SLURMD_PORT < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
HOST=$(hostname -s)
# The node's two CPUs are processors 0 and 1: binding to processors this
# machine (or container) does not give us would fail every task, so then
# tasks run unbound.
TASK_PLUGIN=task/none
python3 -c 'import os, sys; sys.exit(not {0, 1} <= os.sched_getaffinity(0))' &&
  TASK_PLUGIN=task/affinity
cat >"$CONF" <<CONF
ClusterName=lmrtest
SlurmctldHost=$HOST(127.0.0.1)
SlurmctldPort=$CTLD_PORT
SlurmdPort=$SLURMD_PORT
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$SOCK
StateSaveLocation=$DIR/state
SlurmdSpoolDir=$DIR/spool
SlurmctldPidFile=$DIR/slurmctld.pid
SlurmdPidFile=$DIR/slurmd.pid
SlurmctldLogFile=$DIR/log/slurmctld.log
SlurmdLogFile=$DIR/log/slurmd.log
# No cgroups in a container: plain process tracking. Each task is bound to
# the CPUs it was given (sched_setaffinity), so that lmr runs one thread per
# CPU of its task, as on a real cluster.
ProctrackType=proctrack/linuxproc
TaskPlugin=$TASK_PLUGIN
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
# Whole CPUs as the unit, so two one-CPU tasks run side by side.
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
ReturnToService=2
MpiDefault=none
KillWait=5
MinJobAge=300
# The node has the CPUs written here even on a machine with fewer.
SlurmdParameters=config_overrides
NodeName=$HOST NodeAddr=127.0.0.1 CPUs=2 State=UNKNOWN
PartitionName=lmr Nodes=ALL Default=YES State=UP MaxTime=INFINITE
CONF

export SLURM_CONF=$CONF LMR_LOCAL_CLUSTER=$DIR
slurmctld -f "$CONF" || fail "slurmctld did not start"
wait_for 100 scontrol ping || fail "slurmctld does not answer"
slurmd -f "$CONF" || fail "slurmd did not start"
idle() { [ "$(sinfo -h -o %T 2>/dev/null)" = idle ]; }
wait_for 300 idle || fail "the node is not idle after 30 s: $(sinfo -h -o '%T %E' 2>&1)"
