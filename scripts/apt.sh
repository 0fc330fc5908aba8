# shellcheck shell=bash disable=SC2154  # me and sudo are the caller's
# What scripts/setup and scripts/guest-kernel share of apt, sourced by both: the
# package lists refreshed with a few tries, since an archive that is being updated
# heals in minutes to hours; and, when apt fails, its own error lines, then one line
# saying what they mean. The caller sets `me` (the name its lines begin with) and
# `sudo` (empty for root).

# Each download retried by apt itself; the dpkg lock of another apt waited for.
APT_OPTIONS=(-o Acquire::Retries=3 -o DPkg::Lock::Timeout=300)
APT_TRIES=4  # updates in all, 30, 60 and 90 s apart: about four minutes at most

# Refreshes the lists; apt's errors of the last try are left in the file $1.
apt_update() {
    local try
    for ((try = 1; ; try++)); do
        $sudo apt-get "${APT_OPTIONS[@]}" -qq update > /dev/null 2> "$1" && return 0
        ((try < APT_TRIES)) || return 1
        echo "$me: apt-get update failed (try $try of $APT_TRIES: $(grep -m1 '^E:' "$1"));" \
            "trying again in $((30 * try)) s"
        sleep $((30 * try))
    done
}

# Shows what apt said in the files given, less its progress lines, then what a
# failed index means.
apt_failed() {
    grep -h -v -e '^Reading ' -e '^Building ' -e '^(Reading database' -e '^Selecting ' \
        -e '^Preparing ' -e '^Unpacking ' -e '^Setting up ' -e '^Processing ' "$@" >&2
    local index
    index=$(sed -n 's/^E: Failed to fetch \([^ ]*\) .*/\1/p' "$@" | sort -u | xargs)
    [ -n "$index" ] || return 0
    if grep -q -e 'Mirror sync in progress' -e 'Hash Sum mismatch' -e 'unexpected size' "$@"; then
        echo "$me: Debian's archive is being updated: $index does not match its Release file yet," \
            "so apt used the lists it had; try again later" >&2
    else
        echo "$me: apt could not fetch $index" >&2
    fi
}
