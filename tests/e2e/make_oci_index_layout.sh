#!/bin/sh
# Builds a multi-platform image as an OCI image layout in DIR: one image
# index (tagged TAG in index.json) naming two platform manifests,
# linux/amd64 and linux/arm64, each with its own config and one gzip
# layer (compressed already, so a copy has no reason to rewrite it). Nothing is fetched; the bytes are made here, so every run gives the
# same digests.
#
# usage: make_oci_index_layout.sh DIR [TAG]
set -eu

dir=${1:?usage: make_oci_index_layout.sh DIR [TAG]}
tag=${2:-multi}
work="$dir.work"
mkdir -p "$dir/blobs/sha256" "$work"

# Stores stdin as a blob; prints "<hex> <size>".
put_blob() {
    cat >"$work/blob"
    hex=$(sha256sum "$work/blob" | cut -d' ' -f1)
    size=$(wc -c <"$work/blob" | tr -d ' ')
    mv "$work/blob" "$dir/blobs/sha256/$hex"
    echo "$hex $size"
}

platform_manifest() { # arch -> "<hex> <size>" of its manifest
    arch=$1
    mkdir -p "$work/root-$arch"
    printf 'built for %s\n' "$arch" >"$work/root-$arch/hello.txt"
    # A fixed owner and time keep the layer's bytes, and so its digest, stable.
    tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner \
        -C "$work/root-$arch" -cf "$work/layer-$arch.tar" hello.txt
    diff_id=$(sha256sum "$work/layer-$arch.tar" | cut -d' ' -f1)
    set -- $(gzip -n -c "$work/layer-$arch.tar" | put_blob)
    layer_hex=$1 layer_size=$2
    set -- $(printf '{"architecture":"%s","os":"linux","config":{"Cmd":["/hello.txt"]},"rootfs":{"type":"layers","diff_ids":["sha256:%s"]}}' \
        "$arch" "$diff_id" | put_blob)
    config_hex=$1 config_size=$2
    printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"sha256:%s","size":%s},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar+gzip","digest":"sha256:%s","size":%s}]}' \
        "$config_hex" "$config_size" "$layer_hex" "$layer_size" | put_blob
}

set -- $(platform_manifest amd64)
amd_hex=$1 amd_size=$2
set -- $(platform_manifest arm64)
arm_hex=$1 arm_size=$2

set -- $(printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":"sha256:%s","size":%s,"platform":{"architecture":"amd64","os":"linux"}},{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":"sha256:%s","size":%s,"platform":{"architecture":"arm64","os":"linux"}}]}' \
    "$amd_hex" "$amd_size" "$arm_hex" "$arm_size" | put_blob)
index_hex=$1 index_size=$2

printf '{"imageLayoutVersion":"1.0.0"}' >"$dir/oci-layout"
printf '{"schemaVersion":2,"manifests":[{"mediaType":"application/vnd.oci.image.index.v1+json","digest":"sha256:%s","size":%s,"annotations":{"org.opencontainers.image.ref.name":"%s"}}]}' \
    "$index_hex" "$index_size" "$tag" >"$dir/index.json"
rm -rf "$work"
