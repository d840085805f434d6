#!/usr/bin/env bash
# The shared library exports the codec API and hides the internals.
set -euo pipefail
lib=$1
symbols=$(nm -D --defined-only -C "$lib")

status=0
for wanted in KXMakeDataStreamCmd KXCheckDataACK KXParseDataStreamResult KXCheckDataStreamCmd \
    KXGetDataStreamExtendData KXParseDataStreamValue KXSplitValues KXParseRangesToInt \
    KXGetDataStreamResult KXGetDataStreamValue KXCheckTagsExists KXUpdateTags KXCompareTags \
    "KXDataStreamParser::KXDataStreamParser" "KXDataStreamParser::getTagMap" \
    "KXDataStreamParser::hasSpecialCmd" "KXDataStreamMaker::toByteArray"; do
  if ! grep -q "$wanted" <<<"$symbols"; then
    echo "not exported: $wanted"
    status=1
  fi
done
for hidden in detectDataProtocol appendDataStreamChecksum checkDataStreamChecksum \
    hasFrameTerminator getDataStreamFrameLength GetCmdResponsePos splitDataStreamFrame \
    GetDataStreamExtendLenPos getExtendFrameLength normalizeCmdName serializeTags \
    dataStreamCrc16 "KXDataStreamParser::parseCmd"; do
  if grep -q "$hidden" <<<"$symbols"; then
    echo "exported but internal: $hidden"
    status=1
  fi
done
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
if [[ $soname != libKXDeviceKit.so.1 ]]; then
  echo "unexpected SONAME: $soname"
  status=1
fi
exit $status
