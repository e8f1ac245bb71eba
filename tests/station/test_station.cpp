#include "common/text.h"
#include "station/decoder.h"
#include "station/link.h"
#include "station/receiver.h"
#include "tests/support/builders.h"

#include <QSignalSpy>
#include <QtTest>

#include <cmath>

using namespace orvalla;
using testsupport::localTime;
using testsupport::typicalReading;

namespace
{

using Result = FrameReceiver::Result;

// A frame as the station sends it, and the fields it must give.
const RawValues kRaw = { 0x1770, 0x0834, 0xF0A0, 0x0CF3, 0x00C8, 0x0003, 0x0590, 7, 8, 9, 0xBEEF };
const QByteArray kFrame = frameText(kRaw);

FrameFields fieldsOf(const RawValues &raw)
{
    FrameFields f {};
    for (std::size_t k = 0; k < raw.size(); ++k)
        f[2 * k] = f[2 * k + 1] = raw[k];
    return f;
}

FrameFields rawFields(std::initializer_list<std::pair<int, std::int32_t>> values)
{
    FrameFields f {};
    for (const auto &[k, v] : values)
        f[std::size_t(2 * k)] = f[std::size_t(2 * k + 1)] = v;
    return f;
}

float member(const Reading &r, const QString &name)
{
    if (name == u"temperature")
        return r.temperature;
    if (name == u"humidity")
        return r.humidity;
    if (name == u"battery_voltage")
        return r.battery_voltage;
    if (name == u"charge_current")
        return r.charge_current;
    if (name == u"pressure")
        return r.pressure;
    if (name == u"solar_radiation")
        return r.solar_radiation;
    if (name == u"rain")
        return r.rain;
    if (name == u"wind_speed")
        return r.wind_speed;
    if (name == u"wind_direction")
        return r.wind_direction;
    qFatal("unknown field %s", qPrintable(name));
}

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readingLine_data()
    {
        QTest::addColumn<Reading>("reading");
        QTest::addColumn<QByteArray>("line");

        QTest::newRow("example") << typicalReading()
                                 << QByteArray(
                                        "07/12/2026 10:15:00 temp=12,3\xBA"
                                        "C hum= 65,3% pres=1013,2mbar rad= 250,0Wm2 vel=  5kmh dir=180\xBA"
                                        " chv=  0,0mm Vp=3,75V ic= 12,5mA ");
        Reading cold = typicalReading();
        cold.temperature = -0.5f;
        cold.humidity = -4.0f;
        cold.pressure = 0;
        cold.wind_direction = 510;
        cold.rain = 12;
        QTest::newRow("negative and wide values")
            << cold
            << QByteArray("07/12/2026 10:15:00 temp=-0,5\xBA"
                          "C hum= -4,0% pres=   0,0mbar rad= 250,0Wm2 vel=  5kmh dir=510\xBA"
                          " chv= 12,0mm Vp=3,75V ic= 12,5mA ");
    }

    void readingLine()
    {
        QFETCH(Reading, reading);
        QFETCH(QByteArray, line);
        QCOMPARE(orvalla::readingLine(reading), line);
    }

    void screenTextsKeepThePoint()
    {
        QCOMPARE(readingScreenTexts(typicalReading()),
            (QStringList { "12.3", "65.3", "07/12/2026", "10:15:00", "1013.2", "250.0", " 0.0", " 5.0",
                "180.0", " 3.8", " 12.5" }));
    }

    void decode_data()
    {
        QTest::addColumn<FrameFields>("fields");
        QTest::addColumn<QString>("field");
        QTest::addColumn<double>("expected");
        QTest::addColumn<double>("tolerance"); // 0: the exact single-precision value

        QTest::newRow("temperature in single precision")
            << rawFields({ { 0, 6000 } }) << "temperature" << 20.249998 << 0.0;
        QTest::newRow("temperature below zero")
            << rawFields({ { 0, 3925 } }) << "temperature" << -0.5 << 1e-5;
        QTest::newRow("humidity clamped at 100") << rawFields({ { 1, 4095 } }) << "humidity" << 100.0 << 0.0;
        QTest::newRow("humidity count 0") << rawFields({ { 1, 0 } }) << "humidity" << -4.0 << 0.0;
        QTest::newRow("humidity count 100") << rawFields({ { 1, 100 } }) << "humidity" << 0.022 << 1e-4;
        QTest::newRow("humidity count 2100") << rawFields({ { 1, 2100 } }) << "humidity" << 68.702 << 1e-5;
        // The square of 0xFFFF does not fit a 32-bit integer.
        QTest::newRow("humidity count 0xFFFF, no lower bound")
            << rawFields({ { 1, 0xFFFF } }) << "humidity"
            << (-4 + 0.0405 * 65535 - 0.0000028 * 65535.0 * 65535.0) << 0.01;
        QTest::newRow("battery voltage high byte")
            << rawFields({ { 2, 0xFFFF } }) << "battery_voltage" << 3.984375 << 0.0;
        QTest::newRow("charge current low byte")
            << rawFields({ { 2, 0xFFFF } }) << "charge_current" << 398.4375 << 0.0;
        QTest::newRow("pressure") << rawFields({ { 3, 3315 } }) << "pressure" << 3315 / 3.2717 << 1e-3;
        QTest::newRow("radiation") << rawFields({ { 4, 4096 } }) << "solar_radiation" << 15680.0 << 0.01;
        QTest::newRow("rain unscaled") << rawFields({ { 5, 12 } }) << "rain" << 12.0 << 0.0;
        QTest::newRow("wind speed high byte") << rawFields({ { 6, 0x05FF } }) << "wind_speed" << 5.0 << 0.0;
        QTest::newRow("wind direction low byte")
            << rawFields({ { 6, 0x05FF } }) << "wind_direction" << 510.0 << 0.0;
        // Raw values 7..10 mean nothing to the decoder.
        QTest::newRow("raw 7..10 ignored")
            << rawFields({ { 7, 0x1234 }, { 10, 0xFFFF } }) << "rain" << 0.0 << 0.0;
    }

    void decode()
    {
        QFETCH(FrameFields, fields);
        QFETCH(QString, field);
        QFETCH(double, expected);
        QFETCH(double, tolerance);
        const Reading r = decodeReading(fields, Calibration {}, localTime(2026, 12, 7, 10, 15, 30));
        const float value = member(r, field);
        if (tolerance == 0)
            QCOMPARE(value, float(expected));
        else
            QVERIFY2(std::fabs(double(value) - expected) <= tolerance,
                qPrintable(QString::number(double(value), 'g', 10)));
        QCOMPARE(r.day, 7);
        QCOMPARE(r.month, 12);
        QCOMPARE(r.year, 2026);
        QCOMPARE(r.hour, 10);
        QCOMPARE(r.minute, 15);
        QCOMPARE(r.second, 30);
    }

    void decodeWithZeroBarometerCalibration()
    {
        Calibration cal;
        cal.barometer_cal = 0;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("barometer calibration is 0"));
        const Reading r = decodeReading(fieldsOf(kRaw), cal, LocalTime {});
        QCOMPARE(r.pressure, 0.0f);
        QCOMPARE(r.temperature, decodeReading(fieldsOf(kRaw), Calibration {}, LocalTime {}).temperature);
    }

    void calibrationEntersTheFormulas()
    {
        Calibration cal;
        cal.transmitter_vref = 5.0f;
        cal.pyranometer_cal = 2.0f;
        cal.barometer_cal = 2.0f;
        const Reading r
            = decodeReading(rawFields({ { 2, 0x8040 }, { 3, 2000 }, { 4, 4096 } }), cal, LocalTime {});
        QCOMPARE(r.battery_voltage, 2.5f);
        QCOMPARE(r.charge_current, 125.0f);
        QCOMPARE(r.pressure, 1000.0f);
        QCOMPARE(r.solar_radiation, 10000.0f);
    }

    void frameTextMatchesTheWireLayout()
    {
        QCOMPARE(kFrame.size(), kFrameLength);
        QCOMPARE(frameText({ 0x1770, 0x834, 0xabcd, 0x10000, 0, 0, 0, 0, 0, 0, 0xFFFF }),
            QByteArray("#%#% 1770 1770 0834 0834 ABCD ABCD 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 "
                       "0000 0000 0000 0000 FFFF FFFF\n\r"));
    }

    void receiver_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QList<int>>("results");
        QTest::addColumn<QByteArray>("left"); // buffered text after the last read

        const auto r = [](Result x) { return int(x); };
        const QByteArray f = kFrame;
        QByteArray lower = f;
        for (char &c : lower)
            c = char(QChar::toLower(uint(uchar(c))));
        QByteArray spaced = f;
        spaced.replace(' ', '\t');
        spaced.replace(4, 1, " \r\n ");
        QByteArray unequal = f;
        unequal[20] = '1'; // second copy of raw value 1
        QByteArray nonHex = f;
        nonHex[37] = 'G';
        QByteArray withZero = f;
        withZero.insert(9, '\0');
        withZero.insert(4, '\0');

        QTest::newRow("whole frame") << QList<QByteArray> { f } << QList<int> { r(Result::Accepted) }
                                     << QByteArray();
        QTest::newRow("split, marker in the first read")
            << QList<QByteArray> { f.left(60), f.mid(60) }
            << QList<int> { r(Result::Incomplete), r(Result::Accepted) } << QByteArray();
        QTest::newRow("split right after the marker")
            << QList<QByteArray> { f.left(4), f.mid(4, 50), f.mid(54) }
            << QList<int> { r(Result::Incomplete), r(Result::Incomplete), r(Result::Accepted) }
            << QByteArray();
        QTest::newRow("read ends inside the marker: frame lost")
            << QList<QByteArray> { "noise#%#", f.mid(3) }
            << QList<int> { r(Result::NoFrame), r(Result::NoFrame) } << QByteArray();
        QTest::newRow("two frames in one read: first only")
            << QList<QByteArray> { f + frameText({ 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 }) }
            << QList<int> { r(Result::Accepted) } << QByteArray();
        QTest::newRow("noise and # before the marker") << QList<QByteArray> { "\r\n#x ## %# #%#" + f }
                                                       << QList<int> { r(Result::Accepted) } << QByteArray();
        QTest::newRow("no # at all") << QList<QByteArray> { "1770 1770 0834" }
                                     << QList<int> { r(Result::NoFrame) } << QByteArray();
        QTest::newRow("# but no marker")
            << QList<QByteArray> { "#%# #% ##%%" } << QList<int> { r(Result::NoFrame) } << QByteArray();
        QTest::newRow("incomplete frame is kept")
            << QList<QByteArray> { "xx" + f.left(115) } << QList<int> { r(Result::Incomplete) }
            << "xx" + f.left(115);
        QTest::newRow("unequal pair")
            << QList<QByteArray> { unequal } << QList<int> { r(Result::Rejected) } << QByteArray();
        QTest::newRow("non-hex field")
            << QList<QByteArray> { nonHex } << QList<int> { r(Result::Rejected) } << QByteArray();
        QTest::newRow("five digits shift the fields") << QList<QByteArray> { "#%#% 17700 17700" + f.mid(14) }
                                                      << QList<int> { r(Result::Rejected) } << QByteArray();
        QTest::newRow("lower-case hex")
            << QList<QByteArray> { lower } << QList<int> { r(Result::Accepted) } << QByteArray();
        QTest::newRow("other white space between fields")
            << QList<QByteArray> { spaced } << QList<int> { r(Result::Accepted) } << QByteArray();
        QTest::newRow("no closing LF CR, later bytes make up the length")
            << QList<QByteArray> { f.left(114), "##" }
            << QList<int> { r(Result::Incomplete), r(Result::Accepted) } << QByteArray();
        QTest::newRow("zero bytes dropped")
            << QList<QByteArray> { withZero.left(40), withZero.mid(40) }
            << QList<int> { r(Result::Incomplete), r(Result::Accepted) } << QByteArray();
    }

    void receiver()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QList<int>, results);
        QFETCH(QByteArray, left);

        FrameReceiver receiver;
        for (qsizetype i = 0; i < reads.size(); ++i) {
            FrameFields fields {};
            const Result result = receiver.receive(reads[i].constData(), reads[i].size(), fields);
            QCOMPARE(int(result), results[i]);
            if (result == Result::Accepted)
                QCOMPARE(fields, fieldsOf(kRaw));
            else
                QCOMPARE(fields, FrameFields {});
        }
        QCOMPARE(receiver.text(), QByteArrayView(left));
        QCOMPARE(receiver.writePosition(), left.size());
    }

    void receiverWrapsAtTheBufferEnd()
    {
        FrameReceiver receiver;
        // Older text is overwritten: only what follows the wrap is left.
        QByteArray read(FrameReceiver::kBufferSize + 5, 'x');
        read.replace(read.size() - 5, 5, "#%#% ");
        receiver.append(read.constData(), read.size());
        QCOMPARE(receiver.writePosition(), 5);
        QCOMPARE(receiver.text(), QByteArrayView("#%#% "));
        FrameFields fields {};
        QCOMPARE(receiver.receive(kFrame.constData() + 5, kFrame.size() - 5, fields), Result::Accepted);
        QCOMPARE(fields, fieldsOf(kRaw));

        // Exactly one buffer of noise wraps to an empty text.
        const QByteArray full(FrameReceiver::kBufferSize, 'y');
        receiver.append(full.constData(), full.size());
        QCOMPARE(receiver.writePosition(), 0);
        QCOMPARE(receiver.text(), QByteArrayView(""));
    }

    void simulatedFrame_data()
    {
        QTest::addColumn<int>("hour");
        QTest::addColumn<int>("minute");
        QTest::addColumn<int>("rawTemperature");
        QTest::addColumn<int>("rawHumidity");

        QTest::newRow("midnight") << 0 << 0 << 6000 << 2100;
        QTest::newRow("06:00, sine at its top") << 6 << 0 << 4500 << 2600;
        QTest::newRow("18:00, sine at its bottom") << 18 << 0 << 7500 << 1600;
    }

    void simulatedFrame()
    {
        QFETCH(int, hour);
        QFETCH(int, minute);
        QFETCH(int, rawTemperature);
        QFETCH(int, rawHumidity);
        FrameFields expected {};
        expected[0] = rawTemperature;
        expected[2] = rawHumidity;
        QCOMPARE(orvalla::simulatedFrame(hour, minute), expected);
    }

    void simulatedReceptionOncePerMinute()
    {
        StationLink link;
        QSignalSpy raw(&link, &StationLink::rawDataReceived);
        QSignalSpy decoded(&link, &StationLink::readingDecoded);
        const LocalTime midnight = localTime(2026, 12, 8, 0, 0, 1);
        bool minuteChanged = true;
        link.poll(midnight, true, minuteChanged);
        QVERIFY(!minuteChanged);
        link.poll(localTime(2026, 12, 8, 0, 0, 2), true, minuteChanged);
        QCOMPARE(decoded.count(), 1);
        QCOMPARE(raw.count(), 0);

        const Reading r = decoded.first().at(0).value<Reading>();
        QCOMPARE(r.temperature, 20.249998f);
        QCOMPARE(r.humidity, 68.702f);
        QCOMPARE(r.pressure, 0.0f);
        QCOMPARE(r.solar_radiation, 0.0f);
        QCOMPARE(r.battery_voltage, 0.0f);
        QCOMPARE(r.second, 1);
        QCOMPARE(readingScreenTexts(r).first(), QStringLiteral("20.2"));
        QCOMPARE(decoded.first().at(1).toByteArray(),
            QByteArray("08/12/2026 00:00:01 temp=20,2\xBA"
                       "C hum= 68,7% pres=   0,0mbar rad=   0,0Wm2 vel=  0kmh dir=  0\xBA"
                       " chv=  0,0mm Vp=0,00V ic=  0,0mA "));
        QCOMPARE(link.reading().humidity, 68.702f);
    }

    void calibrationUsedFromTheNextFrame()
    {
        StationLink link;
        Calibration cal;
        cal.transmitter_vref = 2.0f;
        link.setCalibration(cal);
        link.decode(rawFields({ { 2, 0x8000 } }), LocalTime {});
        QCOMPARE(link.reading().battery_voltage, 1.0f);
    }

    void linkWithoutDevice()
    {
        qputenv("ORVALLA_SERIAL_PORT", "/nonexistent/orvalla-tty");
        StationLink link;
        QSignalSpy raw(&link, &StationLink::rawDataReceived);
        QString error;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("device open failed"));
        QVERIFY(!link.openDevice(&error));
        QVERIFY(error.contains("/nonexistent/orvalla-tty"));
        QVERIFY(!link.receptionActive());
        QVERIFY(!link.deviceOpen());

        // A failed open leaves simulated reception running; closing with nothing
        // open does nothing.
        link.startSimulated();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("device open failed"));
        QVERIFY(!link.openDevice());
        QVERIFY(link.receptionActive());
        link.closeDevice();
        QVERIFY(link.receptionActive());

        bool minuteChanged = false;
        link.poll(LocalTime {}, false, minuteChanged);
        QCOMPARE(link.readCount(), 0u);
        QCOMPARE(raw.count(), 0);
        qunsetenv("ORVALLA_SERIAL_PORT");
    }

    void calibrationEntry_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QStringList>("texts"); // Edit_cal_pir, Edit_cal_bar, Edit_vref_tx
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QList<float>>("values"); // pyranometer, barometer, vref afterwards

        const QLocale gl(QLocale::Galician, QLocale::Spain);
        const QLocale c = QLocale::c();
        QTest::newRow("start-up texts")
            << gl << QStringList { "3,92", "3,2717", "4,0" } << true << QList<float> { 3.92f, 3.2717f, 4.0f };
        QTest::newRow("point in the C locale")
            << c << QStringList { "2.5", "3", " 5 " } << true << QList<float> { 2.5f, 3.0f, 5.0f };
        QTest::newRow("second text bad: first kept")
            << gl << QStringList { "5,5", "abc", "9" } << false << QList<float> { 5.5f, 1.0f, 1.0f };
        QTest::newRow("first text bad: nothing changes")
            << gl << QStringList { "", "2", "2" } << false << QList<float> { 1.0f, 1.0f, 1.0f };
        QTest::newRow("point where the system uses a comma")
            << gl << QStringList { "3,92", "3.2717", "4" } << false << QList<float> { 3.92f, 1.0f, 1.0f };
        QTest::newRow("grouping is no decimal")
            << gl << QStringList { "3.920", "2", "2" } << false << QList<float> { 1.0f, 1.0f, 1.0f };
        QTest::newRow("barometer 0 refused")
            << gl << QStringList { "2", "0", "3" } << false << QList<float> { 2.0f, 1.0f, 1.0f };
        QTest::newRow("last text bad")
            << gl << QStringList { "2", "3", "x" } << false << QList<float> { 2.0f, 3.0f, 1.0f };
        // Where the system writes a point, the start-up texts with their comma still convert.
        const QLocale us(QLocale::English, QLocale::UnitedStates);
        QTest::newRow("start-up texts where the system uses a point")
            << c << QStringList { "3,92", "3,2717", "4,0" } << true << QList<float> { 3.92f, 3.2717f, 4.0f };
        QTest::newRow("comma and point mixed")
            << us << QStringList { "3.5", "2,5", "1,25" } << true << QList<float> { 3.5f, 2.5f, 1.25f };
        QTest::newRow("a comma is a decimal, never grouping")
            << us << QStringList { "1,234", "2", "2" } << true << QList<float> { 1.234f, 2.0f, 2.0f };
        QTest::newRow("two commas are no number")
            << c << QStringList { "3,9,2", "2", "2" } << false << QList<float> { 1.0f, 1.0f, 1.0f };
        QTest::newRow("barometer 0 with a comma refused")
            << c << QStringList { "2,5", "0,0", "3" } << false << QList<float> { 2.5f, 1.0f, 1.0f };
        QTest::newRow("comma text bad after a good one")
            << c << QStringList { "2,5", "3,x", "3" } << false << QList<float> { 2.5f, 1.0f, 1.0f };
    }

    void calibrationEntry()
    {
        QFETCH(QLocale, locale);
        QFETCH(QStringList, texts);
        QFETCH(bool, ok);
        QFETCH(QList<float>, values);
        Calibration cal { 1.0f, 1.0f, 1.0f };
        QString error;
        QCOMPARE(convertCalibration(texts[0], texts[1], texts[2], cal, &error, locale), ok);
        QCOMPARE(error.isEmpty(), ok);
        QCOMPARE(cal.pyranometer_cal, values[0]);
        QCOMPARE(cal.barometer_cal, values[1]);
        QCOMPARE(cal.transmitter_vref, values[2]);
    }
};

QTEST_GUILESS_MAIN(TestStation)
#include "test_station.moc"
