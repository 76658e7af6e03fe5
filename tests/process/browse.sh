#!/bin/sh
# browse: the opener receives the text as its one argument, never through a shell, and is reaped
# (no zombie left while kel goes on running); a missing opener is not reported. Usage: browse.sh <kel>
kel=$(realpath "$1")
dir=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT

# A fake opener that records how many arguments it got and each of them.
mkdir "$dir/bin"
cat >"$dir/bin/xdg-open" <<EOS
#!/bin/sh
{ echo "\$#"; for a in "\$@"; do echo "[\$a]"; done; } >"$dir/args.tmp"
mv "$dir/args.tmp" "$dir/args"
EOS
chmod +x "$dir/bin/xdg-open"

printf 'Kel []\nbrowse make url! "http://x/?a=1;b=$(id)"\nwait 120\n' >"$dir/browse.kel"
PATH="$dir/bin:$PATH" "$kel" "$dir/browse.kel" </dev/null >/dev/null 2>&1 &
pid=$!

# Conditions are polled, not timed: each wait ends as soon as it holds (or after two minutes).
poll() {
    i=0
    while [ $i -lt 1200 ]; do
        if eval "$1"; then return 0; fi
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

poll '[ -e "$dir/args" ]' || { echo "FAIL: the opener was not started"; exit 1; }
want='1
[http://x/?a=1;b=$(id)]'
got=$(cat "$dir/args")
[ "$got" = "$want" ] || { echo "FAIL: the opener got [$got], expected [$want]"; exit 1; }
# Reaped means gone: a child that ended and was not waited for stays listed (as a zombie), so the
# opener must leave kel's list of children altogether.
poll '[ -z "$(ps -o pid= --ppid "$pid")" ]' || {
    echo "FAIL: a child is left: $(ps -o pid=,stat=,comm= --ppid "$pid")"; exit 1; }
kill -0 "$pid" 2>/dev/null || { echo "FAIL: kel ended before the check"; exit 1; }

# Without an opener on PATH nothing is reported and the evaluation goes on.
mkdir "$dir/nobin"
out=$(printf 'browse make url! "http://x/"\nprint "after"\n' | PATH="$dir/nobin" "$kel" --cli 2>&1)
case "$out" in
    *Error*) echo "FAIL: a failed start was reported: [$out]"; exit 1 ;;
    *after*) ;;
    *) echo "FAIL: the evaluation did not go on: [$out]"; exit 1 ;;
esac
echo "browse: ok"
