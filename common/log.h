#pragma once

#include <QLoggingCategory>

// One category per area; every significant event is one line on standard error.
Q_DECLARE_LOGGING_CATEGORY(lcStation)
Q_DECLARE_LOGGING_CATEGORY(lcRecording)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcPublish)
Q_DECLARE_LOGGING_CATEGORY(lcNet)
Q_DECLARE_LOGGING_CATEGORY(lcExcel)
Q_DECLARE_LOGGING_CATEGORY(lcWebcam)
Q_DECLARE_LOGGING_CATEGORY(lcHistory)
Q_DECLARE_LOGGING_CATEGORY(lcApp)

namespace orvalla
{

// The form of every log line: local date and time to the millisecond, the
// category, the text ("2026-12-07 10:14:30.125 orvalla.net: ..."). The
// console sets it first thing; QT_MESSAGE_PATTERN still overrides it.
void installLogFormat();

} // namespace orvalla
