#!/bin/sh
# A companion with a family: starts a background child, writes "own-pid child-pid" to the file
# named by $1, talks on stdout and stderr (a control character, a line longer than Pelorin
# holds), then waits. With "ignore-term" as $2 the whole family ignores SIGTERM.
[ "$2" = ignore-term ] && trap '' TERM
sleep 1000 &
echo "$$ $!" >"$1.tmp" && mv "$1.tmp" "$1"
echo "on stdout"
printf 'on stderr \033[1m\n' >&2
printf '%070000d\n' 0 | tr 0 x
wait
