#!/usr/bin/env bash
# Lays out an update for the vendor's web server: the version file and the
# package, each with its minisign signature beside it.
set -euo pipefail

usage() {
    cat <<'EOF'
Usage: publish.sh [--expires DURATION] EDITION_FILE PRODUCT VERSION PACKAGE PUBLIC_URL SECRET_KEY OUTDIR

Writes, below OUTDIR (the web server's document root):
  soft/EDITION_FILE           three lines ended by CR LF: PRODUCT, VERSION, PUBLIC_URL
  soft/EDITION_FILE.minisig   its signature
  <path of PUBLIC_URL>        a copy of PACKAGE
  <path of PUBLIC_URL>.minisig  its signature (older updaters check it)

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

  --expires DURATION
                the signature is refused once DURATION has passed since the
                signing: seconds (3600) or a number of minutes, hours or days
                (90m, 12h, 7d), at most 366d. Needs SECRET_KEY. Re-sign the
                current release more often than that (from cron or a timer).

Both signatures carry one trusted comment, which binds the version file to
this release and this package (a signed Kelvane compares every field):
  timestamp:<now>  file:EDITION_FILE  product:PRODUCT  version:VERSION
  size:<package bytes>  blake2b:<the package's b2sum>  [expires:<now+DURATION>]
separated by tabs. It must fit in a .minisig a signed Kelvane reads (4096
bytes), so PRODUCT, VERSION and EDITION_FILE together hold about 3600 bytes.

The package is put in place before the version file, so a user never sees a
version that points at a package not yet there. Every file is written beside
its final name and renamed into place only when it and its signature are whole.
EOF
}

fail() {
    echo "publish.sh: $*" >&2
    exit 1
}

# --expires: seconds, or minutes, hours or days; at most a year and a day,
# since a longer expiry hardly limits how long a replayed signature works.
max_expires=$((366 * 86400))
expires_in=
set_expires() {
    [ -z "$expires_in" ] || fail "--expires is given twice"
    [[ "$1" =~ ^[0-9] && "$1" =~ ^0*([0-9]*)([mhd]?)$ ]] ||
        fail "--expires takes seconds or a number with m, h or d (3600, 90m, 12h, 7d), not '$1'"
    local number=${BASH_REMATCH[1]} unit=1
    case ${BASH_REMATCH[2]} in
    m) unit=60 ;;
    h) unit=3600 ;;
    d) unit=86400 ;;
    esac
    [ -n "$number" ] || fail "--expires must be longer than 0"
    [ "${#number}" -le 9 ] && [ $((number * unit)) -le "$max_expires" ] ||
        fail "--expires '$1' is over 366d; sign again on a schedule instead of signing for years"
    expires_in=$((number * unit))
}
while [ "$#" -gt 0 ]; do
    case $1 in
    -h | --help)
        usage
        exit 0
        ;;
    --expires)
        [ "$#" -ge 2 ] || fail "--expires needs a DURATION"
        set_expires "$2"
        shift 2
        ;;
    --expires=*)
        set_expires "${1#--expires=}"
        shift
        ;;
    --)
        shift
        break
        ;;
    -?*) fail "unknown option '$1' (options go before the arguments; see --help)" ;;
    *) break ;;
    esac
done
[ "$#" -eq 7 ] || {
    usage >&2
    fail "expected 7 arguments, got $#"
}
edition=$1 product=$2 version=$3 package=$4 url=$5 secret=$6 outdir=$7
[ -z "$expires_in" ] || [ -n "$secret" ] ||
    fail "--expires needs a SECRET_KEY: unsigned files carry no expiry"

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

# The trusted comment of both signatures: tab-separated key:value fields.
# Arguments: the signing time, the package's size and its BLAKE2b-512 digest.
trusted_comment() {
    local comment="timestamp:$1	file:$edition	product:$product	version:$version	size:$2	blake2b:$3"
    [ -z "$expires_in" ] || comment+="	expires:$(($1 + expires_in))"
    printf '%s' "$comment"
}
# minisign 0.11 takes a -t of at most 4077 bytes, and Kelvane reads a .minisig
# of at most 4096 bytes, whose other lines and line ends take 262 of them.
max_comment=3834
check_comment_fits() {
    local bytes
    bytes=$(printf '%s' "$1" | wc -c)
    [ "$bytes" -le "$max_comment" ] ||
        fail "the signature's trusted comment would be $bytes bytes, over the $max_comment that fit in a .minisig Kelvane reads; shorten PRODUCT, VERSION or EDITION_FILE"
}

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
    command -v b2sum >/dev/null || fail "b2sum is not installed (it is part of coreutils)"
    # Checked before anything is written, with the package as it is now.
    check_comment_fits "$(trusted_comment "$(date +%s)" "$(stat -c %s -- "$package")" "$(printf '0%.0s' {1..128})")"
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
    # The comment names the package as it was copied, the bytes that are
    # published. One call, so minisign asks for the key's password once.
    size=$(stat -c %s -- "$staged_package") || fail "cannot read the size of the copied package"
    digest=$(b2sum <"$staged_package") || fail "cannot hash the copied package"
    digest=${digest%% *}
    [[ "$digest" =~ ^[0-9a-f]{128}$ ]] || fail "b2sum did not print a BLAKE2b-512 digest: '$digest'"
    comment=$(trusted_comment "$(date +%s)" "$size" "$digest")
    check_comment_fits "$comment"
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
