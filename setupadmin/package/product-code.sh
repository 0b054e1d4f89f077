#!/bin/sh
# product-code.sh MSIINFO PACKAGE OUTPUT: writes the package's product code,
# the 38 characters of the braced GUID without a line end.
set -e
code=$("$1" export "$2" Property | awk -F '\t' '$1 == "ProductCode" { print $2 }' | tr -d '\r\n')
[ ${#code} -eq 38 ] || { echo "product-code.sh: no product code in $2" >&2; exit 1; }
printf '%s' "$code" > "$3"
