#!/bin/sh
# Renders one manual page with every roff warning enabled and fails on any
# warning, on a page that renders empty, or on a missing section that every
# page of this project must have. Exits 77 (skipped) when groff is absent.
# Usage: check_page.sh PAGE
page=$1
if [ ! -r "$page" ]; then
    echo "cannot read $page" >&2
    exit 1
fi
if ! command -v groff >/dev/null 2>&1; then
    echo "groff is not installed: cannot check $page" >&2
    exit 77
fi
export LC_ALL=C.UTF-8 MANWIDTH=80
status=0

warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    echo "groff -man -ww warns about $page:" >&2
    echo "$warnings" >&2
    status=1
fi

if command -v man >/dev/null 2>&1; then
    out=$(mktemp)
    warnings=$(man --warnings -l "$page" 2>&1 >"$out")
    if [ -n "$warnings" ]; then
        echo "man --warnings warns about $page:" >&2
        echo "$warnings" >&2
        status=1
    fi
    rendered=$(cat "$out")
    rm -f "$out"
else
    rendered=$(groff -man -Tutf8 "$page" 2>/dev/null)
fi

if [ -z "$rendered" ]; then
    echo "$page renders to nothing" >&2
    status=1
fi
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "UPSTREAM REQUEST" CACHING \
               OUTPUT "EXIT STATUS" CAVEATS; do
    if ! printf '%s\n' "$rendered" | grep -q "^$section\$"; then
        echo "$page has no $section section" >&2
        status=1
    fi
done
exit $status
