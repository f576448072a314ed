#!/usr/bin/env bash
# Lays out an update for the vendor's web server: the version file and the
# package, each with its minisign signature beside it.
set -euo pipefail

usage() {
    cat <<'EOF'
Usage: publish.sh EDITION_FILE PRODUCT VERSION PACKAGE PUBLIC_URL SECRET_KEY OUTDIR

Writes, below OUTDIR (the web server's document root):
  soft/EDITION_FILE           three lines ended by CR LF: PRODUCT, VERSION, PUBLIC_URL
  soft/EDITION_FILE.minisig   its signature
  <path of PUBLIC_URL>        a copy of PACKAGE
  <path of PUBLIC_URL>.minisig  its signature

  EDITION_FILE  the version file's name, e.g. veltrin_marlo.txt
  PRODUCT       the product name shown to users, e.g. "Veltrin Marlo"
  VERSION       the published version, e.g. 2.0.1
  PACKAGE       the update package to publish
  PUBLIC_URL    the address users download the package from, e.g.
                https://update.example.com/packages/veltrin-marlo-2.0.1.exe
  SECRET_KEY    the vendor's minisign secret key file (minisign asks for its
                password once); an empty string publishes WITHOUT signatures,
                which only an updater built without a signing key accepts
  OUTDIR        where the files go; it is created if missing

The package is put in place before the version file, so a user never sees a
version that points at a package not yet there. Every file is written beside
its final name and renamed into place only when it and its signature are whole.
EOF
}

fail() {
    echo "publish.sh: $*" >&2
    exit 1
}

case "${1:-}" in
-h | --help)
    usage
    exit 0
    ;;
esac
[ "$#" -eq 7 ] || {
    usage >&2
    fail "expected 7 arguments, got $#"
}
edition=$1 product=$2 version=$3 package=$4 url=$5 secret=$6 outdir=$7

# What the updater will refuse to read must not be published.
plain_line() { [[ -n "$1" && "$1" != *[[:cntrl:]]* ]]; }
plain_line "$product" || fail "PRODUCT must be one line of text"
plain_line "$version" || fail "VERSION must be one line of text"
[[ "$version" != *[/\\:*?\"\<\>\|]* ]] ||
    fail "VERSION '$version' cannot be part of a file name (it names the downloaded package)"
plain_line "$edition" && [[ "$edition" != */* && "$edition" != . && "$edition" != .. ]] ||
    fail "EDITION_FILE must be a plain file name, not '$edition'"
[ -f "$package" ] && [ -r "$package" ] || fail "PACKAGE '$package' is not a readable file"
[ -s "$package" ] || fail "PACKAGE '$package' is empty"

# The package's place below OUTDIR is the URL's path, percent-escapes decoded
# as the web server decodes them.
url_form='^https?://[^/?#\\[:space:]]+(/[^?#\\[:space:]]*)$'
[[ "$url" =~ $url_form ]] ||
    fail "PUBLIC_URL must be an absolute http or https address of a file, without query, blanks or backslashes: '$url'"
url_path=${BASH_REMATCH[1]}
broken_escape='%([^0-9A-Fa-f]|.[^0-9A-Fa-f]|.?$)|%[01][0-9A-Fa-f]|%7[Ff]'
[[ ! "$url_path" =~ $broken_escape ]] || fail "PUBLIC_URL has a broken percent-escape or one for a control character: '$url'"
url_path=$(printf '%b' "${url_path//%/\\x}")
[[ "$url_path" != */ && "$url_path" != *[[:cntrl:]]* ]] || fail "PUBLIC_URL must name a file: '$url'"
IFS=/ read -r -a parts <<<"${url_path#/}"
for part in "${parts[@]}"; do
    [[ -n "$part" && "$part" != . && "$part" != .. ]] || fail "PUBLIC_URL has an empty, '.' or '..' path step: '$url'"
done
package_rel=${url_path#/}
[ "$package_rel" != "soft/$edition" ] || fail "PUBLIC_URL points at the version file itself"

if [ -n "$secret" ]; then
    command -v minisign >/dev/null || fail "minisign is not installed (Debian: apt-get install minisign)"
    [ -f "$secret" ] && [ -r "$secret" ] || fail "SECRET_KEY '$secret' is not a readable file"
else
    echo "publish.sh: no SECRET_KEY: publishing WITHOUT signatures" >&2
fi

mkdir -p "$outdir/soft" "$outdir/$(dirname "$package_rel")" || fail "cannot create folders in '$outdir'"
stage=$(mktemp -d "$outdir/.publish-XXXXXX") || fail "cannot write in '$outdir'"
trap 'rm -rf "$stage"' EXIT

staged_version="$stage/$edition"
staged_package="$stage/package"
printf '%s\r\n%s\r\n%s\r\n' "$product" "$version" "$url" >"$staged_version" || fail "cannot write the version file"
cp "$package" "$staged_package" || fail "cannot copy '$package'"
sync -f "$stage" 2>/dev/null || true

if [ -n "$secret" ]; then
    # One call, so minisign asks for the key's password once.
    comment="timestamp:$(date +%s)	product:$product	version:$version"
    minisign -S -s "$secret" -t "$comment" -m "$staged_version" "$staged_package" >/dev/null ||
        fail "minisign could not sign with '$secret'"
    mv -f -T "$staged_package.minisig" "$outdir/$package_rel.minisig"
else
    rm -f "$outdir/$package_rel.minisig"
fi
mv -f -T "$staged_package" "$outdir/$package_rel"
if [ -n "$secret" ]; then
    mv -f -T "$staged_version.minisig" "$outdir/soft/$edition.minisig"
else
    rm -f "$outdir/soft/$edition.minisig"
fi
mv -f -T "$staged_version" "$outdir/soft/$edition"
echo "Published $product $version: $outdir/soft/$edition -> $url"
