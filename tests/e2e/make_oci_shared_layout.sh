#!/bin/bash
# Builds an OCI image layout in DIR of one linux/amd64 image per TAG, all of
# them over one shared base layer, each with a layer and a config of its
# own: images that share blobs, as a registry stores them once.
#
#   make_oci_shared_layout.sh DIR TAG...
#       prints one line per image, "<tag> <manifest digest>", in order.
set -eu

if [ $# -lt 2 ]; then
    echo "usage: $0 DIR TAG..." >&2
    exit 2
fi
OCI_LAYOUT_LIB=1 . "$(dirname "$0")/make_oci_layout.sh"

dir=$1
shift
oci_init "$dir"
read -r base_digest base_size base_diff <<<"$(oci_make_layer "$dir" 200000)"
base=$(oci_descriptor "$OCI_LAYER_TYPE" "$base_digest" "$base_size")
tagged=()
n=0
for tag in "$@"; do
    n=$((n + 1))
    read -r own_digest own_size own_diff <<<"$(oci_make_layer "$dir" $((30000 * n + 7)))"
    read -r config_digest config_size <<<"$(oci_add_json "$dir" \
        "{\"architecture\":\"amd64\",\"os\":\"linux\",\"config\":{\"Env\":[\"IMAGE=$tag\"]},\"rootfs\":{\"type\":\"layers\",\"diff_ids\":[\"$base_diff\",\"$own_diff\"]}}")"
    read -r digest size <<<"$(oci_add_json "$dir" \
        "{\"schemaVersion\":2,\"mediaType\":\"$OCI_MANIFEST_TYPE\",\"config\":$(oci_descriptor "$OCI_CONFIG_TYPE" "$config_digest" "$config_size"),\"layers\":[$base,$(oci_descriptor "$OCI_LAYER_TYPE" "$own_digest" "$own_size")]}")"
    tagged+=("$(oci_tagged "$tag" "$(oci_descriptor "$OCI_MANIFEST_TYPE" "$digest" "$size")")")
    echo "$tag $digest"
done
oci_write_index_json "$dir" "${tagged[@]}"
