#pragma once

#include "common/clock.h"
#include "station/reading.h"
#include "station/receiver.h"

#include <QByteArray>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <array>

namespace orvalla
{

// The three calibration values of the "Principal" tab, single precision.
struct Calibration {
    float pyranometer_cal = 3.92f;
    float transmitter_vref = 4.0f;
    float barometer_cal = 3.2717f; // divisor of the pressure count
};

// The eleven raw values of a frame (frame fields 0, 2, 4 ... 20).
using RawValues = std::array<std::int32_t, 11>;

// Decodes an accepted frame and stamps it with the given clock fields. Only the
// even fields 0..12 are read. A barometer_cal of 0 (or not finite) gives pressure 0.
Reading decodeReading(const FrameFields &fields, const Calibration &calibration, const LocalTime &clock);

// The reading line: "dd/mm/yyyy hh:mm:ss " then nine "name=value unit " pieces
// with a decimal comma; Windows-1252 bytes (degree sign 0xBA), ends in a blank.
QByteArray readingLine(const Reading &reading);

// The texts of the eleven "ULTIMA LECTURA" fields, decimal point kept:
// temperature, humidity, date, time, pressure, solar radiation, rain, wind
// speed, wind direction, battery voltage, charge current.
QStringList readingScreenTexts(const Reading &reading);

// Simulated reception: the frame made from the clock's hour and minute
// (temperature and humidity follow a sine over the day, every other field 0).
FrameFields simulatedFrame(int hour, int minute);

// The wire text of a frame carrying the given raw values, each sent twice:
// "#%#% " + 22 four-digit upper-case hex fields + "\n\r" (116 bytes). Values are
// taken modulo 0x10000.
QByteArray frameText(const RawValues &raw);

// Enter in one of the calibration edits: converts, in this order, the texts of
// Edit_cal_pir, Edit_cal_bar and Edit_vref_tx as decimal numbers of the given
// locale (the operating system's by default); where that locale writes a
// decimal point, a text with a decimal comma ("3,92") is also taken. Stops at
// the first text that is not a number, or a barometer calibration of 0; values
// converted before it keep their new value. Returns false with the operator's message in *error.
bool convertCalibration(const QString &calPirText, const QString &calBarText, const QString &vrefTxText,
    Calibration &calibration, QString *error = nullptr, const QLocale &locale = QLocale::system());

} // namespace orvalla
