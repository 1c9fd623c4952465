# What the wave-render tests share: run in a folder of their own, the program's
# output in $work/out and its errors in $work/err. Expects $case_name and $work.

fail() { echo "FAIL [$case_name]: $*" >&2; exit 1; }
expect_status() {  # expect_status STATUS COMMAND...
    local want=$1
    shift
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    [ $got -eq "$want" ] || fail "$*: exit status $got, expected $want: $(cat "$work/err")"
}
