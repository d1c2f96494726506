#!/usr/bin/env bash
# The desktop entry and the metainfo pass the validators of the desktop
# (desktop-file-utils) and of the software centres (appstream). Skipped, with
# exit status 77, where a validator is not installed.
# Usage: desktop_files_test.sh DESKTOP_FILE METAINFO_FILE
set -u
desktop=$1
metainfo=$2
ran=0
failed=0
if command -v desktop-file-validate >/dev/null 2>&1; then
    ran=1
    out=$(desktop-file-validate "$desktop" 2>&1)
    # It prints hints and errors alike; any line is a finding.
    if [ -n "$out" ]; then
        echo "desktop-file-validate: $out"
        failed=1
    fi
else
    echo "desktop-file-validate not installed (package desktop-file-utils)"
fi
if command -v appstreamcli >/dev/null 2>&1; then
    ran=1
    appstreamcli validate --no-net --pedantic "$metainfo" || failed=1
else
    echo "appstreamcli not installed (package appstream)"
fi
[ "$ran" -eq 1 ] || exit 77
exit "$failed"
