#include "console/settings.h"

#include "common/files.h"
#include "common/log.h"
#include "common/text.h"
#include "recording/maxmin.h"
#include "recording/recordingfiles.h"

#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <optional>

namespace orvalla
{

namespace
{

constexpr qsizetype kMaxRead = 10000;
constexpr qsizetype kMaxIdentifier = 99;

bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The key search of the settings file: first occurrence anywhere in the text.
class KeyText
{
public:
    explicit KeyText(QByteArray text)
        : m_text(std::move(text))
    {
    }

    // Position right after the key, if found.
    std::optional<qsizetype> find(const char *key) const
    {
        const qsizetype at = m_text.indexOf(key);
        if (at < 0)
            return std::nullopt;
        return at + qsizetype(qstrlen(key));
    }

    // As "%d" reads: white space skipped, optional sign, decimal digits.
    // Overlong numbers wrap at 32 bits rather than overflow.
    std::optional<std::int32_t> integer(const char *key) const
    {
        auto pos = find(key);
        if (!pos)
            return std::nullopt;
        qsizetype i = skipSpace(*pos);
        bool negative = false;
        if (i < m_text.size() && (m_text[i] == '+' || m_text[i] == '-'))
            negative = m_text[i++] == '-';
        if (i >= m_text.size() || !isDigit(m_text[i]))
            return std::nullopt;
        std::uint32_t value = 0;
        for (; i < m_text.size() && isDigit(m_text[i]); ++i)
            value = value * 10u + std::uint32_t(m_text[i] - '0');
        return std::int32_t(negative ? 0u - value : value);
    }

    // As "%f" reads into a float: stops at the first character that does not
    // belong to the number (a decimal comma included).
    std::optional<float> real(const char *key) const
    {
        auto pos = find(key);
        if (!pos)
            return std::nullopt;
        qsizetype i = skipSpace(*pos);
        const char *begin = m_text.constData() + i;
        const char *end = m_text.constData() + m_text.size();
        bool negative = false;
        if (begin < end && (*begin == '+' || *begin == '-')) {
            negative = *begin == '-';
            ++begin;
            if (begin < end && (*begin == '+' || *begin == '-'))
                return std::nullopt;
        }
        float value = 0;
        const auto result = std::from_chars(begin, end, value, std::chars_format::general);
        if (result.ec != std::errc())
            return std::nullopt;
        return negative ? -value : value;
    }

    // The value up to the first occurrence of terminator after the key; none
    // without the terminator.
    std::optional<QByteArray> until(const char *key, const char *terminator) const
    {
        auto pos = find(key);
        if (!pos)
            return std::nullopt;
        const qsizetype end = m_text.indexOf(terminator, *pos);
        if (end < 0)
            return std::nullopt;
        return m_text.mid(*pos, end - *pos);
    }

    // The value up to the first CR LF after the key, or to the end of the text.
    std::optional<QByteArray> untilLineEndOrEnd(const char *key) const
    {
        auto pos = find(key);
        if (!pos)
            return std::nullopt;
        const qsizetype end = m_text.indexOf("\r\n", *pos);
        return m_text.mid(*pos, end < 0 ? -1 : end - *pos);
    }

private:
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    qsizetype skipSpace(qsizetype i) const
    {
        while (i < m_text.size() && isCSpace(m_text[i]))
            ++i;
        return i;
    }

    QByteArray m_text;
};

std::int32_t minutesToSeconds(std::int32_t minutes)
{
    return std::int32_t(std::uint32_t(minutes) * 60u);
}

// How a line's value is read and held.
enum class Kind {
    Identifier, // text between quotes, at most 99 characters
    Switch, // a check box with an action: a change is reported to the window
    Flag, // a check box without one
    Minutes, // whole minutes, held as seconds (and as the text of a field)
    Count, // a whole number
    Choice, // 0..highest; another number is refused and reported
    Real, // a calibration value and the text of its field
    Text, // up to CR LF
    List, // comma-separated lines, up to CR LF or the end of the file
};

// What the load does right after a line, for the window.
enum class Then {
    Nothing,
    Caption, // the caption names the identifier
    HttpServer, // the HTTP server switched with its folder and default document
    Workbook, // the workbook opened when its switch is on
};

// One setting: the text searched for (and written first on its line), where the
// value is held, its default as a field shows it, and how the value is written.
struct Row {
    const char *key;
    Kind kind;
    const char *fallback;
    QString Settings::*text = nullptr; // Identifier, Text; the field of a Minutes or Real
    QStringList Settings::*list = nullptr;
    bool Settings::*flag = nullptr;
    std::int32_t Settings::*number = nullptr;
    float Settings::*real = nullptr;
    const char *format = nullptr; // numbers: the value after the key; null: the field's text
    SettingsSwitch which {};
    std::int32_t highest = 0;
    Then then = Then::Nothing;
    // Begins a group of later lines, written together (see settingsFileBytes).
    bool startsGroup = false;
};

constexpr Row startingGroup(Row row)
{
    row.startsGroup = true;
    return row;
}

constexpr Row identifierRow(const char *key, QString Settings::*text, const char *fallback)
{
    return {
        .key = key, .kind = Kind::Identifier, .fallback = fallback, .text = text, .then = Then::Caption
    };
}

constexpr Row switchRow(
    const char *key, bool Settings::*flag, SettingsSwitch which, Then then = Then::Nothing)
{
    return { .key = key,
        .kind = Kind::Switch,
        .fallback = "0",
        .flag = flag,
        .format = " %d",
        .which = which,
        .then = then };
}

constexpr Row flagRow(const char *key, bool Settings::*flag)
{
    return { .key = key, .kind = Kind::Flag, .fallback = "0", .flag = flag, .format = " %d" };
}

// format null: the line carries the field's text rather than the number held.
constexpr Row minutesRow(const char *key, std::int32_t Settings::*seconds, QString Settings::*field,
    const char *fallback, const char *format)
{
    return { .key = key,
        .kind = Kind::Minutes,
        .fallback = fallback,
        .text = field,
        .number = seconds,
        .format = format };
}

constexpr Row countRow(const char *key, std::int32_t Settings::*number, const char *fallback)
{
    return { .key = key, .kind = Kind::Count, .fallback = fallback, .number = number, .format = " %d" };
}

constexpr Row choiceRow(const char *key, std::int32_t Settings::*number, std::int32_t highest)
{
    return { .key = key,
        .kind = Kind::Choice,
        .fallback = "0",
        .number = number,
        .format = " %d",
        .highest = highest };
}

// The default is the field's text, with a decimal comma.
constexpr Row realRow(const char *key, float Settings::*real, QString Settings::*field, const char *fallback,
    const char *format)
{
    return {
        .key = key, .kind = Kind::Real, .fallback = fallback, .text = field, .real = real, .format = format
    };
}

constexpr Row textRow(
    const char *key, QString Settings::*text, const char *fallback, Then then = Then::Nothing)
{
    return { .key = key, .kind = Kind::Text, .fallback = fallback, .text = text, .then = then };
}

constexpr Row listRow(const char *key, QStringList Settings::*list, const char *fallback)
{
    return { .key = key, .kind = Kind::List, .fallback = fallback, .list = list };
}

// meteo.cfg, line by line: loaded, written and defaulted in this order. A new
// setting is one more row at the end.
constexpr Row kRows[] = {
    identifierRow("Identificador do sistema = '", &Settings::identifier, "tarvelo"),
    switchRow("Envio correo auto =", &Settings::correo_auto, SettingsSwitch::CorreoAuto),
    minutesRow(
        "Envio correo (minuto diario) =", &Settings::mail_time, &Settings::correo_intervalo, "600", " %d "),
    textRow("Servidor de correo = ", &Settings::servidor_smtp, "smtp.example.org"),
    textRow("Porto de correo = ", &Settings::porto_smtp, "25"),
    textRow("Clave de correo = ", &Settings::clave_smtp, ""),
    textRow("Usuario de correo = ", &Settings::usuario_smtp, ""),
    textRow("Dominio de correo = ", &Settings::dominio_smtp, "example.org"),
    textRow("Remitente de correo = ", &Settings::remitente_smtp, "estacion@example.org"),
    textRow("Motivo de correo = ", &Settings::motivo_smtp, "información meteorolóxica"),
    listRow("Destinatarios de correo = ", &Settings::destinatarios_smtp, "meteo@example.org"),
    switchRow("Envio ficheiros auto =", &Settings::ftp_auto, SettingsSwitch::FtpAuto),
    minutesRow("Intervalo envio ficheiros (minutos) =", &Settings::ftp_interval, &Settings::ftp_intervalo,
        "15", " %d "),
    textRow("Servidor de ftp = ", &Settings::ftp_hostname, "ftp.example.org"),
    textRow("Usuario de ftp = ", &Settings::ftp_username, ""),
    textRow("Clave de ftp = ", &Settings::ftp_clave, ""),
    textRow("Porto de ftp = ", &Settings::ftp_port, "21"),
    textRow("Ruta local de ficheiros de ftp = ", &Settings::ftp_ruta_local_ficheiro, ""),
    textRow("Ruta remota de ficheiros de ftp = ", &Settings::ftp_ruta_remota_ficheiro, "/"),
    listRow("Nome de ficheiro de ftp = ", &Settings::ftp_nome_ficheiro, "Orvalla.htm"),
    // The switch's action would need the folder and document that follow: the
    // server is switched once they are loaded.
    switchRow("Servidor http activo =", &Settings::http_activo, SettingsSwitch::HttpActivo),
    textRow("Ruta de ficheiros http = ", &Settings::http_ruta, "Edit_http_ruta"),
    textRow("Nome de ficheiro fonte http = ", &Settings::http_fonte, "Orvalla.txt"),
    textRow(
        "Nome de ficheiro destino http = ", &Settings::http_destino, "Edit_http_destino", Then::HttpServer),
    textRow("Ruta de ficheiro excel = ", &Settings::excel_ruta_ficheiro, ""),
    textRow("Nome de ficheiro excel = ", &Settings::excel_nome_ficheiro, "datos.xls"),
    switchRow("Excel activo =", &Settings::excel_activo, SettingsSwitch::ExcelActivo, Then::Workbook),
    switchRow("Modo simulado =", &Settings::modo_simulado, SettingsSwitch::ModoSimulado),
    minutesRow("Intervalo almacenamento datos (minutos) =", &Settings::log_interval,
        &Settings::datos_intervalo_min, "10", nullptr),
    switchRow("Envio imaxe webcam =", &Settings::webcam_auto, SettingsSwitch::WebcamAuto),
    minutesRow(
        "Inicio diario de lectura de maximas (minutos) =", &Settings::start_offset, nullptr, "1195", " %d"),
    minutesRow("Periodo diario de lectura maximas (minutos) =", &Settings::period, nullptr, "5", " %d"),
    minutesRow(
        "Intervalo de fallo de lectura maximas (minutos) =", &Settings::failure_limit, nullptr, "60", " %d"),
    countRow("Numero minimo de datos de maximas =", &Settings::min_readings, "24"),
    realRow("Calibracion de piranometro =", &Settings::pyranometer_cal, &Settings::cal_pir, "3,92", " %3.4f"),
    realRow("Tension de transmisor =", &Settings::transmitter_vref, &Settings::vref_tx, "4,0", " %3.2f"),
    realRow("Calibracion de barometro =", &Settings::barometer_cal, &Settings::cal_bar, "3,2717", " %3.4f"),
    // Later lines come in groups; a file ends after the last group with a
    // value off its default, so a file without them keeps its bytes.
    startingGroup(flagRow("Modo pasivo de ftp =", &Settings::ftp_pasivo)),
    // A level this console does not know is refused rather than guessed: it
    // could mean less protection than the operator asked for.
    choiceRow("Seguridade de ftp =", &Settings::ftp_seguridade, 1),
    choiceRow("Seguridade de correo =", &Settings::smtp_seguridade, 2),
    textRow("Certificados de confianza = ", &Settings::certificados, ""),
    startingGroup(textRow("Base de datos central = ", &Settings::base_datos_central, "")),
};

// Lines every file has, whatever their values.
constexpr std::size_t kAlwaysWritten = 37;
static_assert(std::size(kRows) >= kAlwaysWritten);

QString fallbackText(const Row &row)
{
    // An empty default stays a null text, as a field that was never set.
    return *row.fallback ? QString::fromUtf8(row.fallback) : QString();
}

void setDefault(Settings &s, const Row &row)
{
    const QString text = fallbackText(row);
    switch (row.kind) {
    case Kind::Identifier:
    case Kind::Text:
        s.*row.text = text;
        break;
    case Kind::List:
        s.*row.list = text.split(u',');
        break;
    case Kind::Switch:
    case Kind::Flag:
        s.*row.flag = text.toInt() != 0;
        break;
    case Kind::Minutes:
        s.*row.number = minutesToSeconds(text.toInt());
        if (row.text)
            s.*row.text = text;
        break;
    case Kind::Count:
    case Kind::Choice:
        s.*row.number = text.toInt();
        break;
    case Kind::Real:
        s.*row.real = QString(text).replace(u',', u'.').toFloat();
        s.*row.text = text;
        break;
    }
}

bool sameValue(const Settings &a, const Settings &b, const Row &row)
{
    switch (row.kind) {
    case Kind::Identifier:
    case Kind::Text:
        return a.*row.text == b.*row.text;
    case Kind::List:
        return a.*row.list == b.*row.list;
    case Kind::Switch:
    case Kind::Flag:
        return a.*row.flag == b.*row.flag;
    case Kind::Minutes:
        return a.*row.number == b.*row.number && (!row.text || a.*row.text == b.*row.text);
    case Kind::Count:
    case Kind::Choice:
        return a.*row.number == b.*row.number;
    case Kind::Real:
        return a.*row.real == b.*row.real;
    }
    return true;
}

QByteArray line(const Settings &s, const Row &row)
{
    QByteArray out(row.key);
    switch (row.kind) {
    case Kind::Identifier:
        out += toCp1252(s.*row.text) + '\'';
        break;
    case Kind::Text:
        out += toCp1252(s.*row.text);
        break;
    case Kind::List:
        out += toCp1252((s.*row.list).join(u','));
        break;
    case Kind::Switch:
    case Kind::Flag:
        out += formatC(row.format, s.*row.flag ? 1 : 0);
        break;
    case Kind::Minutes:
        // The storage interval is written as its field shows it.
        if (!row.format)
            out += ' ' + toCp1252(s.*row.text);
        else
            out += formatC(row.format, s.*row.number / 60);
        break;
    case Kind::Count:
    case Kind::Choice:
        out += formatC(row.format, s.*row.number);
        break;
    case Kind::Real:
        out += formatC(row.format, double(s.*row.real));
        break;
    }
    return out + "\r\n";
}

} // namespace

Settings::Settings()
{
    for (const Row &row : kRows)
        setDefault(*this, row);
}

QString calibrationText(float value)
{
    QString text = QString::fromLatin1(formatC("%.15g", double(value)));
    return text.replace(u'.', QLocale::system().decimalPoint());
}

bool LoadSettings(
    Settings &s, MaxMinState &maxmin, const SettingsHooks &hooks, const QString &folder, QString *error)
{
    QStringList problems;
    auto finish = [&]() {
        // The tracker record holds the four tracker settings.
        maxmin.start_offset = s.start_offset;
        maxmin.period = s.period;
        maxmin.failure_limit = s.failure_limit;
        maxmin.min_readings = s.min_readings;
        if (problems.isEmpty())
            return true;
        for (const QString &p : std::as_const(problems))
            qCWarning(lcSettings).noquote() << p;
        if (error)
            *error = problems.join(QStringLiteral("; "));
        return false;
    };

    QString why;
    if (!loadMaxMinState(folder, &maxmin, &why))
        problems << QStringLiteral("daily extremes state not loaded: %1").arg(why);
    s.start_offset = maxmin.start_offset;
    s.period = maxmin.period;
    s.failure_limit = maxmin.failure_limit;
    s.min_readings = maxmin.min_readings;

    const QString path = pathIn(folder, QString::fromLatin1(kSettingsFileName));
    if (!QFileInfo::exists(path))
        return finish();
    QByteArray bytes;
    if (!readFile(path, &bytes, &why, kMaxRead)) {
        problems << QStringLiteral("settings not loaded, defaults kept: %1").arg(why);
        return finish();
    }
    const KeyText file(bytes);

    for (const Row &row : kRows) {
        switch (row.kind) {
        case Kind::Identifier:
            if (const auto v = file.until(row.key, "'\r\n"))
                s.*row.text = fromCp1252(v->left(kMaxIdentifier));
            break;
        case Kind::Text:
            if (const auto v = file.until(row.key, "\r\n"))
                s.*row.text = fromCp1252(*v);
            break;
        case Kind::List:
            if (const auto v = file.untilLineEndOrEnd(row.key))
                s.*row.list = fromCp1252(*v).split(u',');
            break;
        case Kind::Switch:
            if (const auto v = file.integer(row.key); v && (*v != 0) != s.*row.flag) {
                s.*row.flag = *v != 0;
                if (hooks.switchChanged)
                    hooks.switchChanged(row.which, s.*row.flag);
            }
            break;
        case Kind::Flag:
            if (const auto v = file.integer(row.key))
                s.*row.flag = *v != 0;
            break;
        case Kind::Minutes:
            if (const auto v = file.integer(row.key)) {
                s.*row.number = minutesToSeconds(*v);
                if (row.text)
                    s.*row.text = QString::number(*v);
            }
            break;
        case Kind::Count:
            if (const auto v = file.integer(row.key))
                s.*row.number = *v;
            break;
        case Kind::Choice:
            if (const auto v = file.integer(row.key)) {
                if (*v >= 0 && *v <= row.highest)
                    s.*row.number = *v;
                else
                    problems << QStringLiteral("\"%1 %2\" is not a known choice; %3 kept")
                                    .arg(QString::fromLatin1(row.key))
                                    .arg(*v)
                                    .arg(s.*row.number);
            }
            break;
        case Kind::Real:
            if (const auto v = file.real(row.key))
                s.*row.real = *v;
            // Found or not, the field shows the value held.
            s.*row.text = calibrationText(s.*row.real);
            break;
        }

        switch (row.then) {
        case Then::Nothing:
            break;
        case Then::Caption:
            if (hooks.setCaption)
                hooks.setCaption(QStringLiteral("Orvalla - %1").arg(s.identifier));
            break;
        case Then::HttpServer:
            if (hooks.setHttpServerActive)
                hooks.setHttpServerActive(s.http_activo);
            break;
        case Then::Workbook:
            if (s.excel_activo && hooks.openWorkbook)
                hooks.openWorkbook();
            break;
        }
    }

    qCInfo(lcSettings).noquote() << "settings loaded from" << path;
    return finish();
}

QByteArray settingsFileBytes(const Settings &s)
{
    const Settings defaults;
    std::size_t end = kAlwaysWritten;
    for (std::size_t i = kAlwaysWritten; i < std::size(kRows); ++i) {
        if (!sameValue(s, defaults, kRows[i])) {
            // Up to the end of this row's group.
            end = i + 1;
            while (end < std::size(kRows) && !kRows[end].startsGroup)
                ++end;
        }
    }
    QByteArray out;
    for (std::size_t i = 0; i < end; ++i)
        out += line(s, kRows[i]);
    return out;
}

bool SaveSettings(const Settings &settings, const QString &folder, QString *error)
{
    const QString path = pathIn(folder, QString::fromLatin1(kSettingsFileName));
    QString why;
    // The passwords stand in clear: owner only.
    if (!replaceFile(
            path, settingsFileBytes(settings), &why, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        qCWarning(lcSettings).noquote() << "settings not saved:" << why;
        if (error)
            *error = why;
        return false;
    }
    qCInfo(lcSettings).noquote() << "settings saved to" << path;
    return true;
}

} // namespace orvalla
