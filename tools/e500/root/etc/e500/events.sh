# The board's event line (sourced): one JSON object per line on the second
# UART, which the emulator writes to a file, like boardsim's event log.

# e500_json_string TEXT: TEXT as a JSON string.
e500_json_string() {
    printf '"%s"' "$(printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g')"
}

# e500_event KIND [PROGRAM ARG...]: records an event with the seconds since
# the kernel started; with a program, an "exec" event with its arguments.
e500_event() {
    kind=$1
    shift
    fields=""
    if [ $# -gt 0 ]; then
        fields=",\"program\":$(e500_json_string "$1")"
        shift
        args=""
        for a in "$@"; do
            args="$args${args:+,}$(e500_json_string "$a")"
        done
        fields="$fields,\"args\":[$args]"
        [ -z "${LD_PRELOAD:-}" ] || fields="$fields,\"preload\":$(e500_json_string "$LD_PRELOAD")"
    fi
    read -r uptime _ < /proc/uptime
    printf '{"kind":"%s","uptime":%s%s}\n' "$kind" "$uptime" "$fields" > /dev/ttyS1
}
