#!/usr/bin/env bash
# The manual page describes every option that `calmora-cli --help` lists,
# so that an option added to the program cannot be left out of it.
# Usage: man_page_test.sh CALMORA_CLI MAN_PAGE
set -u
cli=$1
page=$2

help=$("$cli" --help) || { echo "calmora-cli --help failed"; exit 1; }
# The page's text with troff's escaped hyphens as plain ones.
text=$(sed -e 's/\\-/-/g' "$page")

options=$(printf '%s\n' "$help" | grep -oE '(^|[ ,(])--?[a-z][a-z0-9-]*' | sed -E 's/^[ ,(]//' | sort -u)
count=$(printf '%s\n' "$options" | grep -c .)
if [ "$count" -lt 20 ]; then
    echo "only $count options found in --help; the pattern no longer reads it"
    exit 1
fi

missing=0
while read -r option; do
    if ! printf '%s\n' "$text" | grep -qE -- "(^|[^a-z0-9-])${option}([^a-z0-9-]|\$)"; then
        echo "the manual page does not describe $option"
        missing=1
    fi
done <<<"$options"

# The commands too.
for command in denoise profile presets info; do
    printf '%s\n' "$help" | grep -qE "^  $command " || continue
    printf '%s\n' "$text" | grep -q "^\.B $command" || { echo "the manual page lacks the command $command"; missing=1; }
done

if command -v groff >/dev/null 2>&1; then
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || { echo "groff: $warnings"; missing=1; }
fi
[ "$missing" -eq 0 ] && echo "all $count options are in the manual page"
exit "$missing"
