#include "console/settings.h"

#include "common/files.h"
#include "common/log.h"
#include "common/text.h"
#include "recording/maxmin.h"
#include "recording/recordingfiles.h"

#include <QFileInfo>
#include <QLocale>

#include <charconv>
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

QByteArray flagLine(const char *key, bool on)
{
    return QByteArray(key) + (on ? " = 1\r\n" : " = 0\r\n");
}

QByteArray textLine(const char *key, const QString &text)
{
    return QByteArray(key) + toCp1252(text) + "\r\n";
}

QByteArray listLine(const char *key, const QStringList &lines)
{
    return QByteArray(key) + toCp1252(lines.join(u',')) + "\r\n";
}

} // namespace

bool Settings::publishingDefaults() const
{
    const Settings defaults;
    return ftp_pasivo == defaults.ftp_pasivo && ftp_seguridade == defaults.ftp_seguridade
        && smtp_seguridade == defaults.smtp_seguridade && certificados == defaults.certificados;
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

    auto setSwitch = [&](const char *key, bool &target, SettingsSwitch which) {
        const auto v = file.integer(key);
        if (!v)
            return;
        const bool on = *v != 0;
        if (on == target)
            return;
        target = on;
        if (hooks.switchChanged)
            hooks.switchChanged(which, on);
    };
    auto setMinutes = [&](const char *key, std::int32_t &seconds, QString *field) {
        if (const auto v = file.integer(key)) {
            seconds = minutesToSeconds(*v);
            if (field)
                *field = QString::number(*v);
        }
    };
    auto setText = [&](const char *key, QString &field) {
        if (const auto v = file.until(key, "\r\n"))
            field = fromCp1252(*v);
    };
    auto setList = [&](const char *key, QStringList &lines) {
        if (const auto v = file.untilLineEndOrEnd(key))
            lines = fromCp1252(*v).split(u',');
    };
    auto setReal = [&](const char *key, float &value, QString &field) {
        if (const auto v = file.real(key))
            value = *v;
        field = calibrationText(value);
    };

    if (const auto id = file.until("Identificador do sistema = '", "'\r\n"))
        s.identifier = fromCp1252(id->left(kMaxIdentifier));
    if (hooks.setCaption)
        hooks.setCaption(QStringLiteral("Orvalla - %1").arg(s.identifier));

    setSwitch("Envio correo auto =", s.correo_auto, SettingsSwitch::CorreoAuto);
    setMinutes("Envio correo (minuto diario) =", s.mail_time, &s.correo_intervalo);
    setText("Servidor de correo = ", s.servidor_smtp);
    setText("Porto de correo = ", s.porto_smtp);
    setText("Clave de correo = ", s.clave_smtp);
    setText("Usuario de correo = ", s.usuario_smtp);
    setText("Dominio de correo = ", s.dominio_smtp);
    setText("Remitente de correo = ", s.remitente_smtp);
    setText("Motivo de correo = ", s.motivo_smtp);
    setList("Destinatarios de correo = ", s.destinatarios_smtp);

    setSwitch("Envio ficheiros auto =", s.ftp_auto, SettingsSwitch::FtpAuto);
    setMinutes("Intervalo envio ficheiros (minutos) =", s.ftp_interval, &s.ftp_intervalo);
    setText("Servidor de ftp = ", s.ftp_hostname);
    setText("Usuario de ftp = ", s.ftp_username);
    setText("Clave de ftp = ", s.ftp_clave);
    setText("Porto de ftp = ", s.ftp_port);
    setText("Ruta local de ficheiros de ftp = ", s.ftp_ruta_local_ficheiro);
    setText("Ruta remota de ficheiros de ftp = ", s.ftp_ruta_remota_ficheiro);
    setList("Nome de ficheiro de ftp = ", s.ftp_nome_ficheiro);

    setSwitch("Servidor http activo =", s.http_activo, SettingsSwitch::HttpActivo);
    setText("Ruta de ficheiros http = ", s.http_ruta);
    setText("Nome de ficheiro fonte http = ", s.http_fonte);
    setText("Nome de ficheiro destino http = ", s.http_destino);
    // The switch action ran before the folder and document were loaded.
    if (hooks.setHttpServerActive)
        hooks.setHttpServerActive(s.http_activo);

    setText("Ruta de ficheiro excel = ", s.excel_ruta_ficheiro);
    setText("Nome de ficheiro excel = ", s.excel_nome_ficheiro);
    setSwitch("Excel activo =", s.excel_activo, SettingsSwitch::ExcelActivo);
    if (s.excel_activo && hooks.openWorkbook)
        hooks.openWorkbook();

    setSwitch("Modo simulado =", s.modo_simulado, SettingsSwitch::ModoSimulado);
    setMinutes("Intervalo almacenamento datos (minutos) =", s.log_interval, &s.datos_intervalo_min);
    setSwitch("Envio imaxe webcam =", s.webcam_auto, SettingsSwitch::WebcamAuto);

    setMinutes("Inicio diario de lectura de maximas (minutos) =", s.start_offset, nullptr);
    setMinutes("Periodo diario de lectura maximas (minutos) =", s.period, nullptr);
    setMinutes("Intervalo de fallo de lectura maximas (minutos) =", s.failure_limit, nullptr);
    if (const auto v = file.integer("Numero minimo de datos de maximas ="))
        s.min_readings = *v;

    setReal("Calibracion de piranometro =", s.pyranometer_cal, s.cal_pir);
    setReal("Tension de transmisor =", s.transmitter_vref, s.vref_tx);
    setReal("Calibracion de barometro =", s.barometer_cal, s.cal_bar);

    if (const auto v = file.integer("Modo pasivo de ftp ="))
        s.ftp_pasivo = *v != 0;
    // A level this console does not know is refused rather than guessed: it
    // could mean less protection than the operator asked for.
    auto setChoice = [&](const char *key, std::int32_t &value, std::int32_t highest) {
        const auto v = file.integer(key);
        if (!v)
            return;
        if (*v < 0 || *v > highest) {
            problems << QStringLiteral("\"%1 %2\" is not a known choice; %3 kept")
                            .arg(QString::fromLatin1(key))
                            .arg(*v)
                            .arg(value);
            return;
        }
        value = *v;
    };
    setChoice("Seguridade de ftp =", s.ftp_seguridade, 1);
    setChoice("Seguridade de correo =", s.smtp_seguridade, 2);
    setText("Certificados de confianza = ", s.certificados);
    setText("Base de datos central = ", s.base_datos_central);

    qCInfo(lcSettings).noquote() << "settings loaded from" << path;
    return finish();
}

QByteArray settingsFileBytes(const Settings &s)
{
    QByteArray out;
    out += "Identificador do sistema = '" + toCp1252(s.identifier) + "'\r\n";
    out += flagLine("Envio correo auto", s.correo_auto);
    out += formatC("Envio correo (minuto diario) = %d \r\n", s.mail_time / 60);
    out += textLine("Servidor de correo = ", s.servidor_smtp);
    out += textLine("Porto de correo = ", s.porto_smtp);
    out += textLine("Clave de correo = ", s.clave_smtp);
    out += textLine("Usuario de correo = ", s.usuario_smtp);
    out += textLine("Dominio de correo = ", s.dominio_smtp);
    out += textLine("Remitente de correo = ", s.remitente_smtp);
    out += textLine("Motivo de correo = ", s.motivo_smtp);
    out += listLine("Destinatarios de correo = ", s.destinatarios_smtp);
    out += flagLine("Envio ficheiros auto", s.ftp_auto);
    out += formatC("Intervalo envio ficheiros (minutos) = %d \r\n", s.ftp_interval / 60);
    out += textLine("Servidor de ftp = ", s.ftp_hostname);
    out += textLine("Usuario de ftp = ", s.ftp_username);
    out += textLine("Clave de ftp = ", s.ftp_clave);
    out += textLine("Porto de ftp = ", s.ftp_port);
    out += textLine("Ruta local de ficheiros de ftp = ", s.ftp_ruta_local_ficheiro);
    out += textLine("Ruta remota de ficheiros de ftp = ", s.ftp_ruta_remota_ficheiro);
    out += listLine("Nome de ficheiro de ftp = ", s.ftp_nome_ficheiro);
    out += flagLine("Servidor http activo", s.http_activo);
    out += textLine("Ruta de ficheiros http = ", s.http_ruta);
    out += textLine("Nome de ficheiro fonte http = ", s.http_fonte);
    out += textLine("Nome de ficheiro destino http = ", s.http_destino);
    out += textLine("Ruta de ficheiro excel = ", s.excel_ruta_ficheiro);
    out += textLine("Nome de ficheiro excel = ", s.excel_nome_ficheiro);
    out += flagLine("Excel activo", s.excel_activo);
    out += flagLine("Modo simulado", s.modo_simulado);
    out += textLine("Intervalo almacenamento datos (minutos) = ", s.datos_intervalo_min);
    out += flagLine("Envio imaxe webcam", s.webcam_auto);
    out += formatC("Inicio diario de lectura de maximas (minutos) = %d\r\n", s.start_offset / 60);
    out += formatC("Periodo diario de lectura maximas (minutos) = %d\r\n", s.period / 60);
    out += formatC("Intervalo de fallo de lectura maximas (minutos) = %d\r\n", s.failure_limit / 60);
    out += formatC("Numero minimo de datos de maximas = %d\r\n", s.min_readings);
    out += formatC("Calibracion de piranometro = %3.4f\r\n", double(s.pyranometer_cal));
    out += formatC("Tension de transmisor = %3.2f\r\n", double(s.transmitter_vref));
    out += formatC("Calibracion de barometro = %3.4f\r\n", double(s.barometer_cal));
    if (s.publishingDefaults() && s.base_datos_central.isEmpty())
        return out;
    out += formatC("Modo pasivo de ftp = %d\r\n", s.ftp_pasivo ? 1 : 0);
    out += formatC("Seguridade de ftp = %d\r\n", s.ftp_seguridade);
    out += formatC("Seguridade de correo = %d\r\n", s.smtp_seguridade);
    out += textLine("Certificados de confianza = ", s.certificados);
    if (!s.base_datos_central.isEmpty())
        out += textLine("Base de datos central = ", s.base_datos_central);
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
