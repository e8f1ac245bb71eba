#pragma once

// The operator's settings and their file meteo.cfg. Logic only: the window
// copies these values into its fields and back.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

namespace orvalla
{

struct MaxMinState;

// The six check boxes carried by the settings file, in the order it loads them.
enum class SettingsSwitch {
    CorreoAuto, // CheckBox_correo_auto
    FtpAuto, // CheckBox_ftp_auto
    HttpActivo, // CheckBox_http_activo
    ExcelActivo, // CheckBox_excel_activo
    ModoSimulado, // CheckBox_modo_simulado
    WebcamAuto, // CheckBox_webcam_auto
};

// Every setting. The defaults, the search texts and how each line is written
// live in one table in settings.cpp: a default-constructed Settings holds the
// defaults. Text members are the texts of the window's fields (named after
// them); numbers are the values held beside.
struct Settings {
    Settings();

    // System identifier: at most 99 characters, prefix of the data file names.
    QString identifier;

    // Switches.
    bool correo_auto = false;
    bool ftp_auto = false;
    bool http_activo = false;
    bool excel_activo = false;
    bool modo_simulado = false;
    bool webcam_auto = false;

    // Numbers held (seconds) and the texts of the fields that show them.
    std::int32_t mail_time = 0;
    std::int32_t ftp_interval = 0;
    std::int32_t log_interval = 0;
    QString correo_intervalo; // Edit_correo_intervalo, minutes
    QString ftp_intervalo; // Edit_ftp_intervalo, minutes
    QString datos_intervalo_min; // Edit_datos_intervalo_min, minutes

    // The four tracker settings. They mirror the MaxMinState fields of the same
    // names: LoadSettings keeps both equal.
    std::int32_t start_offset = 0;
    std::int32_t period = 0;
    std::int32_t failure_limit = 0;
    std::int32_t min_readings = 0;

    // Calibration values and their fields.
    float pyranometer_cal = 0;
    float transmitter_vref = 0;
    float barometer_cal = 0;
    QString cal_pir; // Edit_cal_pir
    QString vref_tx; // Edit_vref_tx
    QString cal_bar; // Edit_cal_bar

    // Mail.
    QString servidor_smtp;
    QString porto_smtp;
    QString clave_smtp;
    QString usuario_smtp;
    QString dominio_smtp;
    QString remitente_smtp;
    QString motivo_smtp;
    QStringList destinatarios_smtp; // memo lines

    // FTP.
    QString ftp_hostname;
    QString ftp_username;
    QString ftp_clave;
    QString ftp_port;
    QString ftp_ruta_local_ficheiro; // "" = the working folder, where the data files are
    QString ftp_ruta_remota_ficheiro;
    QStringList ftp_nome_ficheiro; // memo lines

    // HTTP: the two fields show their design texts until the file supplies values.
    QString http_ruta;
    QString http_fonte;
    QString http_destino;

    // Excel.
    QString excel_ruta_ficheiro;
    QString excel_nome_ficheiro;

    // Publishing to servers that want passive mode or encryption (lines 38-41).
    bool ftp_pasivo = false; // CheckBox_ftp_pasivo
    std::int32_t ftp_seguridade = 0; // ComboBox_ftp_seguridade: 0 none, 1 explicit TLS
    std::int32_t smtp_seguridade = 0; // ComboBox_smtp_seguridade: 0 none, 1 STARTTLS, 2 TLS
    QString certificados; // Edit_certificados: PEM file of extra trusted certificates

    // Line 42: the central PostgreSQL database's URI, "" for none.
    QString base_datos_central;
};

// What loading the file asks of the window. Every hook is optional.
struct SettingsHooks {
    // A switch changed state (settings already holds the new state and every
    // value loaded before it). Act as an operator's click: show the loaded
    // values, make the check box change and let its click action run. Called
    // for all six switches, in the order of the file's keys.
    std::function<void(SettingsSwitch which, bool checked)> switchChanged;
    // The window caption, "Orvalla - <identifier>", once the identifier key was looked for.
    std::function<void(const QString &caption)> setCaption;
    // SetHttpServerActive with the switch state, once the HTTP folder and
    // default document are loaded.
    std::function<void(bool active)> setHttpServerActive;
    // Opens the workbook (no effect when already open); called after the Excel
    // switch when it is on.
    std::function<void()> openWorkbook;
};

// Text of a calibration field: general format, up to 15 significant digits,
// the system's decimal separator.
QString calibrationText(float value);

// Start-up: maxmin.bin over maxmin, then meteo.cfg over settings (and the four
// tracker fields of maxmin). A missing file keeps the defaults and is not an
// error; a file that exists but cannot be read returns false with the reason
// (what could be loaded still is).
bool LoadSettings(Settings &settings, MaxMinState &maxmin, const SettingsHooks &hooks = {},
    const QString &folder = {}, QString *error = nullptr);

// Shutdown: meteo.cfg replaced whole (owner-only permissions, as it holds
// passwords). On failure the previous file stays and false is returned.
bool SaveSettings(const Settings &settings, const QString &folder = {}, QString *error = nullptr);

// The lines as written: 37, then the later ones up to the last group of them
// with a value off its default (lines 38-41 are one group, line 42 another).
QByteArray settingsFileBytes(const Settings &settings);

} // namespace orvalla
