#!/usr/bin/env bash
# Checks that libkalvio.so exports only its public interface: every strong
# symbol it defines must belong to a public class, a public free function or
# the kalvio namespace (AddressSanitizer adds an ODR indicator beside each
# exported variable). Helpers in the library's sources stay hidden, and the
# free functions of the kalvio namespace that programs link against are all
# there.
# Usage: exported_symbols.sh LIBRARY
set -euo pipefail
lib=$1
classes='CObject|CImage|CFile|CRuntimeClass|CRuntimeClassRegistration|CDumpContext|CArchive|CDib|CDC|CMemoryDC|CPalette|CHistogram|CVolume|CVideo'
functions='AfxMessageBox|make_[12]D_(float|int)_array|free_[12]D_(float|int)_array|digiline|rank_float_increasing|read_[a-z]+_image|write_[a-z]+_image|write_bmp_rows|read_bmp_rows|Raw2Img|getshort|getint|getfloat|putshort|are_equal|acr_nema|ga|fdga|apply_IIR4_filter_z|RGB_to_LUV|LUV_to_RGB|VNeumannEigens|LevenbergMarquardt|bilinear_int|VideoFromImages|VideoFromYUV'
required='allocate_pages allocate_sparse_pages release_pages samples_to_bytes swap_red_blue set_message_handler set_trace_sink trace'
allowed="^(__odr_asan\\.|(${classes})::|kalvio::|(${functions})\\(|(typeinfo|vtable) (name )?for (${classes})$)"
symbols=$(nm -DC --defined-only "$lib" | awk '$2 ~ /^[TDBR]$/ { $1 = ""; $2 = ""; sub(/^  /, ""); print }')
[ -n "$symbols" ] || { echo "no exported symbols found in $lib" >&2; exit 1; }
stray=$(grep -v -E "$allowed" <<<"$symbols" || true)
if [ -n "$stray" ]; then
  echo "symbols exported beyond the public interface:" >&2
  echo "$stray" >&2
  exit 1
fi
missing=$(for name in $required; do grep -q "^kalvio::${name}(" <<<"$symbols" || echo "kalvio::$name"; done)
if [ -n "$missing" ]; then
  echo "public functions not exported:" >&2
  echo "$missing" >&2
  exit 1
fi
echo "$(wc -l <<<"$symbols") exported symbols, all public"
