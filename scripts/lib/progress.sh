# Sourced by the build and test scripts. A long step keeps its whole output in a log file and
# shows a short account on standard error instead: a line when it starts, the build's own
# progress every tenth of the way (ninja's [n/m] lines, make's [ n%] lines), a line a minute
# while nothing else is shown, and a line with the time it took. Enough to see that it moves;
# little enough for a CI log.
#
#   run_logged [--append] LOG LABEL COMMAND [ARG...]
# Runs COMMAND with its standard output and error in LOG (replaced, or appended to with
# --append) and returns COMMAND's exit status.
run_logged() {
  local mode=replace
  if [ "$1" = --append ]; then
    mode=append
    shift
  fi
  local log=$1 label=$2
  shift 2
  mkdir -p "$(dirname "$log")"
  [ "$mode" = append ] || : >"$log"
  echo "  $label: started (log: $log)" >&2
  local start=$SECONDS
  "$@" 2>&1 | _progress_filter "$log" "$label" "$start"
  local status=${PIPESTATUS[0]}
  if [ "$status" = 0 ]; then
    echo "  $label: done in $(_progress_clock $((SECONDS - start)))" >&2
  else
    echo "  $label: failed after $(_progress_clock $((SECONDS - start))) (exit status $status; log: $log)" >&2
  fi
  return "$status"
}

_progress_clock() {  # seconds -> m:ss
  printf '%d:%02d' $(($1 / 60)) $(($1 % 60))
}

# Copies standard input to LOG line by line and reports progress on standard error. Reads time
# out every few seconds so that the minute line comes even while the command is silent; a line
# cut by such a timeout is kept whole.
_progress_filter() {  # log, label, start (in $SECONDS)
  local log=$1 label=$2 start=$3
  local chunk line pending="" status_text="" tenth shown_tenth=0 last_shown=$SECONDS
  local step_pattern='^[[:space:]]*\[([0-9]+)/([0-9]+)\]' percent_pattern='^[[:space:]]*\[ *([0-9]+)%\]'
  while :; do
    chunk=""
    if IFS= read -r -t 5 chunk; then
      line=$pending$chunk
      pending=""
      printf '%s\n' "$line" >>"$log"
      tenth=""
      if [[ $line =~ $step_pattern ]] && [ "${BASH_REMATCH[2]}" -gt 0 ]; then
        status_text="${BASH_REMATCH[1]}/${BASH_REMATCH[2]}"
        tenth=$((BASH_REMATCH[1] * 10 / BASH_REMATCH[2]))
      elif [[ $line =~ $percent_pattern ]]; then
        status_text="${BASH_REMATCH[1]}%"
        tenth=$((BASH_REMATCH[1] / 10))
      fi
      if [ -n "$tenth" ] && [ "$tenth" -gt "$shown_tenth" ]; then
        shown_tenth=$tenth
        _progress_line "$label" "$status_text" "$start"
        last_shown=$SECONDS
      fi
    elif [ $? -gt 128 ]; then
      pending+=$chunk
    else
      [ -z "$pending$chunk" ] || printf '%s\n' "$pending$chunk" >>"$log"
      return 0
    fi
    if [ $((SECONDS - last_shown)) -ge 60 ]; then
      _progress_line "$label" "${status_text:-still running}" "$start"
      last_shown=$SECONDS
    fi
  done
}

_progress_line() {  # label, status, start
  echo "  $1: $2 after $(_progress_clock $((SECONDS - $3)))" >&2
}
