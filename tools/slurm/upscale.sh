#!/bin/bash
# upscale.sh: upscales one video on a Slurm cluster. An array job of TASKS
# tasks runs the segments of the job folder (segment k on task k mod TASKS;
# lmr takes its task index from SLURM_ARRAY_TASK_ID), then a join job, which
# starts only once every task has succeeded (--dependency=afterok), joins
# them into the output and removes the job folder. Run it on a submit node:
#
#   tools/slurm/upscale.sh --lmr /opt/lumerant/bin/lmr --input /shared/in.mp4 \
#     --output /shared/out.mp4 --model anime-video --job /shared/jobs/in --tasks 8
#
# Settings (paths on storage that every node sees):
#   --lmr PATH            the engine, as `cmake --install` lays it out (P/bin/lmr)
#   --input FILE          the source video
#   --output FILE         the video to write
#   --model M             a catalogue model id (-m M), or a path ending in .onnx (--model M)
#   --job DIR             the job folder (created by the tasks, removed by the join)
#   --tasks N             the number of array tasks
#   --cpus-per-task C     CPUs of each task (default 1); lmr runs as many threads
#   --segment-frames N    frames per segment (default: lmr's own)
#   --log-dir DIR         where Slurm writes each job's output (default: here)
#   --sbatch-args "ARGS"  more options for both jobs (partition, time limit, account)
#   --wait                wait for the join and exit with its status
#   -- OPTIONS            anything after -- goes to `lmr upscale` (--scale, --codec ...)
#
# Prints the ids of the array job and of the join job. A task that is killed
# or lost with its node is queued again (scontrol requeue ARRAYID_I does it
# by hand; Slurm holds it back two minutes unless `scontrol update
# JobId=ARRAYID_I StartTime=now`): lmr resumes the job folder and keeps every
# finished segment, and the join waits for it. If a task fails, the join is
# cancelled rather than left waiting; submitting again resumes the folder.
#
# Inside the jobs this same script runs as the batch script: `--run CMD...`.
set -euo pipefail
if [ "${1:-}" = --run ]; then
  shift
  echo "lmr task ${SLURM_ARRAY_TASK_ID:-join} of job ${SLURM_JOB_ID:-?} on $(hostname -s): $*" >&2
  exec "$@"
fi

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}
LMR="" INPUT="" OUTPUT="" MODEL="" JOB="" TASKS="" CPUS=1 SEGMENT="" LOGS=$PWD SBATCH_ARGS="" WAIT=""
while [ $# -gt 0 ]; do
  case "$1" in
    --lmr | --input | --output | --model | --job | --tasks | --cpus-per-task | --segment-frames | \
      --log-dir | --sbatch-args)
      [ $# -ge 2 ] || { echo "upscale.sh: $1 needs a value" >&2; exit 2; }
      case "$1" in
        --lmr) LMR=$2 ;;
        --input) INPUT=$2 ;;
        --output) OUTPUT=$2 ;;
        --model) MODEL=$2 ;;
        --job) JOB=$2 ;;
        --tasks) TASKS=$2 ;;
        --cpus-per-task) CPUS=$2 ;;
        --segment-frames) SEGMENT=$2 ;;
        --log-dir) LOGS=$2 ;;
        --sbatch-args) SBATCH_ARGS=$2 ;;
      esac
      shift 2
      ;;
    --wait) WAIT=1; shift ;;
    --) shift; break ;;
    -h | --help) usage ;;
    *) echo "upscale.sh: unknown setting $1" >&2; usage ;;
  esac
done
for s in LMR INPUT OUTPUT MODEL JOB TASKS; do
  [ -n "${!s}" ] || { echo "upscale.sh: --$(echo "$s" | tr '[:upper:]' '[:lower:]') is required" >&2; exit 2; }
done
case "$TASKS" in '' | *[!0-9]* | 0*) echo "upscale.sh: --tasks must be a whole number from 1" >&2; exit 2 ;; esac
[ -x "$LMR" ] || { echo "upscale.sh: $LMR is not an executable" >&2; exit 2; }
command -v sbatch >/dev/null || { echo "upscale.sh: sbatch not found (install slurm-client)" >&2; exit 2; }

# The jobs may start in another folder: every path absolute.
LMR=$(realpath "$LMR") INPUT=$(realpath -m "$INPUT") OUTPUT=$(realpath -m "$OUTPUT")
JOB=$(realpath -m "$JOB") LOGS=$(realpath -m "$LOGS")
case "$MODEL" in *.onnx | */*) MODEL_ARGS=(--model "$(realpath -m "$MODEL")") ;; *) MODEL_ARGS=(-m "$MODEL") ;; esac
mkdir -p "$LOGS"
SELF=$(realpath "$0")
# shellcheck disable=SC2206
EXTRA=($SBATCH_ARGS)

TASK_CMD=("$LMR" upscale "${MODEL_ARGS[@]}" -i "$INPUT" -o "$OUTPUT" --job "$JOB" --tasks "$TASKS")
[ -n "$SEGMENT" ] && TASK_CMD+=(--segment-frames "$SEGMENT")
TASK_CMD+=("$@")

ARRAY=$(sbatch --parsable --job-name=lmr-upscale --array="0-$((TASKS - 1))" \
  --cpus-per-task="$CPUS" --ntasks=1 --requeue --output="$LOGS/lmr-upscale-%A_%a.out" \
  "${EXTRA[@]}" "$SELF" --run "${TASK_CMD[@]}")
ARRAY=${ARRAY%%;*}
echo "array job $ARRAY: $TASKS tasks of $CPUS CPU(s)"
JOIN_ARGS=(--parsable --job-name=lmr-join --dependency="afterok:$ARRAY" --kill-on-invalid-dep=yes
  --cpus-per-task=1 --ntasks=1 --output="$LOGS/lmr-join-%j.out" "${EXTRA[@]}")
if [ -n "$WAIT" ]; then
  status=0
  JOIN=$(sbatch "${JOIN_ARGS[@]}" --wait "$SELF" --run "$LMR" join --job "$JOB") || status=$?
  echo "join job ${JOIN%%;*}: exit $status"
  exit $status
fi
JOIN=$(sbatch "${JOIN_ARGS[@]}" "$SELF" --run "$LMR" join --job "$JOB")
echo "join job ${JOIN%%;*}: runs after every task of $ARRAY succeeds"
