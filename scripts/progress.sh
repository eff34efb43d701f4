# Sourced by the scripts: a line for each phase, and a heartbeat while a long step runs, so that
# a newcomer's screen never stays silent for more than a few seconds.
#   phase "text"                       one line, prefixed with the script's name
#   with_heartbeat "what" command...   runs the command; every 5 s says on standard error that it
#                                      is still at it (its standard output stays the command's)
phase() { echo "${progress_name:-$(basename "$0")}: $*"; }
with_heartbeat() {
    local what=$1
    shift
    local started=$SECONDS
    (
        while sleep 5; do
            echo "${progress_name:-$(basename "$0")}:   ... still $what ($((SECONDS - started)) s)" >&2
        done
    ) &
    local beat=$!
    local status=0
    "$@" || status=$?
    kill "$beat" 2>/dev/null || true
    wait "$beat" 2>/dev/null || true
    return "$status"
}
