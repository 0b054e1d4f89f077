#!/bin/sh
# Checks the wizard's translation catalogs against the layout they translate:
# every catalog compiles with its format directives kept (msgfmt
# --check-format), every text of the layout has a translation that is not
# fuzzy in every catalog (msgcmp against a template made afresh from the
# layout, since the generator silently falls back to English), and the
# committed template holds the same texts as the layout.
#
#   check-catalogs.sh PYTHON3 GENERATOR LAYOUT PO_DIR WORK_DIR
set -u
python=$1 generator=$2 layout=$3 po_dir=$4 work=$5

mkdir -p "$work" || exit 1
fresh="$work/tamsor-fresh.pot"
"$python" "$generator" "$layout" --pot "$fresh" || exit 1

failed=0
fail() { echo "FAILED: $*"; failed=1; }

if [ -f "$po_dir/tamsor.pot" ]; then
    # Same texts both ways; positions and notes may lag behind.
    msgcmp --use-untranslated "$po_dir/tamsor.pot" "$fresh" >/dev/null 2>&1 &&
    msgcmp --use-untranslated "$fresh" "$po_dir/tamsor.pot" >/dev/null 2>&1 ||
        fail "tamsor.pot does not hold the layout's texts: run $generator $layout --pot $po_dir/tamsor.pot"
else
    fail "$po_dir/tamsor.pot is missing"
fi

count=0
for catalog in "$po_dir"/*.po; do
    [ -f "$catalog" ] || continue
    count=$((count + 1))
    msgfmt --check-format -o /dev/null "$catalog" || fail "$catalog: msgfmt --check-format"
    # Without --use-fuzzy and --use-untranslated, an untranslated or fuzzy
    # entry counts as missing.
    msgcmp "$catalog" "$fresh" || fail "$catalog: texts of the layout without translation"
done
[ "$count" -gt 0 ] || fail "no catalogs in $po_dir"

[ $failed -eq 0 ] && echo "$count catalogs checked"
exit $failed
