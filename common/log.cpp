#include "common/log.h"

Q_LOGGING_CATEGORY(lcStation, "orvalla.station")
Q_LOGGING_CATEGORY(lcRecording, "orvalla.recording")
Q_LOGGING_CATEGORY(lcSettings, "orvalla.settings")
Q_LOGGING_CATEGORY(lcPublish, "orvalla.publish")
Q_LOGGING_CATEGORY(lcNet, "orvalla.net")
Q_LOGGING_CATEGORY(lcExcel, "orvalla.excel")
Q_LOGGING_CATEGORY(lcWebcam, "orvalla.webcam")
Q_LOGGING_CATEGORY(lcHistory, "orvalla.history")
Q_LOGGING_CATEGORY(lcApp, "orvalla.app")

namespace orvalla
{

void installLogFormat()
{
    // %{time format} is the local time of the message, as the operator's clock reads.
    qSetMessagePattern(
        QStringLiteral("%{time yyyy-MM-dd HH:mm:ss.zzz} %{if-category}%{category}: %{endif}%{message}"));
}

} // namespace orvalla
