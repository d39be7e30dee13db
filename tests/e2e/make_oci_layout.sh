#!/bin/bash
# Builds an OCI image layout (oci-layout, index.json, blobs/sha256/...) for
# the client round-trip tests: images of random tar+gzip layers with their
# config and image manifest, named in index.json by tag.
#
#   make_oci_layout.sh DIR TAG [LAYERS]
#       one linux/amd64 image of LAYERS layers (default 3) tagged TAG;
#       prints the manifest's digest.
#
# Sourced (". make_oci_layout.sh" with OCI_LAYOUT_LIB=1 set), it only
# defines the functions below, so that a test can compose other layouts,
# such as a multi-platform index:
#
#   oci_init DIR                         empty layout
#   oci_add_blob DIR FILE                moves FILE into the blob store;
#                                        prints "<digest> <size>"
#   oci_add_json DIR TEXT                stores TEXT as a blob; same output
#   oci_make_layer DIR BYTES             a random layer of BYTES bytes of
#                                        content; prints "<digest> <size>
#                                        <diff_id>"
#   oci_make_image DIR LAYERS OS ARCH [BYTES...]
#                                        config and image manifest over
#                                        LAYERS new layers (sizes BYTES, or
#                                        a default per layer); prints
#                                        "<digest> <size>"
#   oci_descriptor MEDIATYPE DIGEST SIZE [EXTRA]
#                                        one descriptor as JSON; EXTRA is
#                                        further members, e.g.
#                                        '"platform":{...}'
#   oci_make_index DIR DESCRIPTOR...     an image index blob over the
#                                        descriptors; prints "<digest> <size>"
#   oci_write_index_json DIR DESCRIPTOR...
#                                        index.json naming the descriptors
#                                        (each carrying its ref.name
#                                        annotation via oci_tagged)
#   oci_tagged TAG DESCRIPTOR            the descriptor with the annotation
#                                        org.opencontainers.image.ref.name
#
# Digests are computed with sha256sum; all JSON is written compact and
# deterministic, so the digests printed are those of the stored bytes.
set -eu

OCI_MANIFEST_TYPE="application/vnd.oci.image.manifest.v1+json"
OCI_INDEX_TYPE="application/vnd.oci.image.index.v1+json"
OCI_CONFIG_TYPE="application/vnd.oci.image.config.v1+json"
OCI_LAYER_TYPE="application/vnd.oci.image.layer.v1.tar+gzip"

oci_init() {
    mkdir -p "$1/blobs/sha256"
    printf '{"imageLayoutVersion":"1.0.0"}' >"$1/oci-layout"
}

oci_add_blob() {
    local hex size
    hex=$(sha256sum "$2" | cut -d' ' -f1)
    size=$(stat -c %s "$2")
    mv -f "$2" "$1/blobs/sha256/$hex"
    chmod 644 "$1/blobs/sha256/$hex"
    echo "sha256:$hex $size"
}

oci_add_json() {
    local tmp
    tmp=$(mktemp "$1/.json.XXXXXX")
    printf '%s' "$2" >"$tmp"
    oci_add_blob "$1" "$tmp"
}

oci_make_layer() {
    local dir=$1 bytes=$2 work diff_id tmp
    work=$(mktemp -d "$dir/.layer.XXXXXX")
    mkdir -p "$work/root/data"
    head -c "$bytes" /dev/urandom >"$work/root/data/random.bin"
    printf 'layer of %s bytes\n' "$bytes" >"$work/root/data/README"
    # Fixed owner, mode and time, so only the random content differs.
    tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -C "$work/root" -cf "$work/layer.tar" data
    diff_id="sha256:$(sha256sum "$work/layer.tar" | cut -d' ' -f1)"
    gzip -n -c "$work/layer.tar" >"$work/layer.tar.gz"
    tmp=$(oci_add_blob "$dir" "$work/layer.tar.gz")
    rm -rf "$work"
    echo "$tmp $diff_id"
}

oci_descriptor() {
    local extra=${4:-}
    printf '{"mediaType":"%s","digest":"%s","size":%s%s}' "$1" "$2" "$3" "${extra:+,$extra}"
}

oci_tagged() {
    # Inserts the annotation before the closing brace of the descriptor.
    local desc=$2
    printf '%s,"annotations":{"org.opencontainers.image.ref.name":"%s"}}' "${desc%\}}" "$1"
}

oci_make_image() {
    local dir=$1 count=$2 os=$3 arch=$4
    shift 4
    local layers="" diff_ids="" i bytes line digest size diff_id config
    for ((i = 0; i < count; i++)); do
        bytes=${1:-$((65536 * (i + 1) + 123 * i))}
        [ $# -gt 0 ] && shift
        line=$(oci_make_layer "$dir" "$bytes")
        read -r digest size diff_id <<<"$line"
        layers="$layers${layers:+,}$(oci_descriptor "$OCI_LAYER_TYPE" "$digest" "$size")"
        diff_ids="$diff_ids${diff_ids:+,}\"$diff_id\""
    done
    config=$(oci_add_json "$dir" \
        "{\"architecture\":\"$arch\",\"os\":\"$os\",\"config\":{\"Env\":[\"PATH=/usr/bin:/bin\"]},\"rootfs\":{\"type\":\"layers\",\"diff_ids\":[$diff_ids]}}")
    read -r digest size <<<"$config"
    oci_add_json "$dir" \
        "{\"schemaVersion\":2,\"mediaType\":\"$OCI_MANIFEST_TYPE\",\"config\":$(oci_descriptor "$OCI_CONFIG_TYPE" "$digest" "$size"),\"layers\":[$layers]}"
}

oci_make_index() {
    local dir=$1 list=""
    shift
    for d in "$@"; do list="$list${list:+,}$d"; done
    oci_add_json "$dir" "{\"schemaVersion\":2,\"mediaType\":\"$OCI_INDEX_TYPE\",\"manifests\":[$list]}"
}

oci_write_index_json() {
    local dir=$1 list=""
    shift
    for d in "$@"; do list="$list${list:+,}$d"; done
    printf '{"schemaVersion":2,"mediaType":"%s","manifests":[%s]}' "$OCI_INDEX_TYPE" "$list" >"$dir/index.json"
}

if [ "${OCI_LAYOUT_LIB:-0}" != 1 ]; then
    if [ $# -lt 2 ]; then
        echo "usage: $0 DIR TAG [LAYERS]" >&2
        exit 2
    fi
    dir=$1
    tag=$2
    count=${3:-3}
    oci_init "$dir"
    read -r digest size <<<"$(oci_make_image "$dir" "$count" linux amd64)"
    oci_write_index_json "$dir" "$(oci_tagged "$tag" "$(oci_descriptor "$OCI_MANIFEST_TYPE" "$digest" "$size")")"
    echo "$digest"
fi
