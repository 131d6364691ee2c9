# Sourced by the benchmark scripts. A benchmark's work folder holds a large
# sample stream and logs full of this machine's paths: it must be a folder git
# does not see, outside the repository or ignored by git (like build/).
#   check_work_folder WORK_FOLDER
check_work_folder() {
    local work=$1 root
    root=$(git rev-parse --show-toplevel 2>/dev/null) || return 0 # not a git checkout
    case "$work/" in
    "$root"/*)
        if ! git check-ignore -q "$work"; then
            echo "$0: the work folder $work is inside the repository and not ignored by git;" \
                "give a build folder such as build/" >&2
            exit 1
        fi
        ;;
    esac
}
