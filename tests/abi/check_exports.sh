#!/usr/bin/env bash
# The shared library exports the codec API and the kit's facade, and hides
# the internals.
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
# The facade: every public method and signal, by name; an overloaded name
# carries its number of forms after a colon.
for wanted in Instance getKitVersion getDataStreamVersion addDevice connectToDevice:2 \
    connectToDevice_Cmd connectToOffLineDevice disconnectFromDevice disconnectFromDeviceEx \
    isConnected isDeviceRemove dbtDeviceArrival sendBinaryMessage:2 cancelRequest \
    cancelAllRequests setTimeOut_7E01 startKeepAlive stopKeepAlive logQuery logRecv stopLogRecv \
    decodeImage checkUpdateFirmwareInfo updateFirmwareFile getUpdateFirmwareState \
    enumDevicesUsbAndNet startDeviceScan stopDeviceScan refreshDeviceScan \
    pauseBroadcastDeviceEnum pauseBroadcastDeviceCheckOffLine setRefreshTime setDelayEnumTime \
    setCheckDeviceAliveTime changeDeviceNetwork changeDeviceAlias blinkNotify \
    setDeviceNetworkGroup getPakInfo:2 isIfp extractIfpFile \
    deviceUpdated deviceConnectChanged deviceNetworkChanged deviceAliasChanged deviceNetworkGroup \
    messageReceived barcodeReceived logDataReceived logDisconnect serialPortDeviceEnumEnd \
    deviceOffLine metaObject qt_metacast qt_metacall; do
  name=${wanted%%:*}
  forms=1
  [[ $wanted == *:* ]] && forms=${wanted#*:}
  found=$(grep -cF " KXDeviceKit::$name(" <<<"$symbols" || true)
  if [[ $found != "$forms" ]]; then
    echo "not exported: KXDeviceKit::$name ($found of $forms forms)"
    status=1
  fi
done
if ! grep -qF " KXDeviceKit::staticMetaObject" <<<"$symbols"; then
  echo "not exported: KXDeviceKit::staticMetaObject"
  status=1
fi
for hidden in KXDeviceKitPrivate KXDeviceConnector KXNetworkAdaptor KXBroadcastDeviceEnum \
    detectDataProtocol appendDataStreamChecksum checkDataStreamChecksum \
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
