# The bench scripts' shared options, sourced by them: [--runs N] [BUILD_DIR].
# bench_options NAME RUNS ARGS... sets `runs` (RUNS unless given) and `build`
# (build/release unless given); --help prints the script's header comment.
bench_options() {
    local name=$1
    runs=$2
    build=build/release
    shift 2
    while [ $# -gt 0 ]; do
        case $1 in
        --runs) runs=${2-}; shift; shift || true ;;
        -h | --help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) echo "$name: unknown option '$1'" >&2; exit 2 ;;
        *) build=$1; shift ;;
        esac
    done
    [[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "$name: --runs takes a positive number" >&2; exit 2; }
}

# bench_built NAME PROGRAM...: every PROGRAM is built, or the script stops.
bench_built() {
    local name=$1 program
    shift
    for program in "$@"; do
        [ -x "$program" ] || { echo "$name: $program is not built" >&2; exit 1; }
    done
}
