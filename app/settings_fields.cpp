#include "app/settings_fields.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <optional>

namespace orvalla
{

namespace
{

// One field and the setting it shows; only the pair of its kind is set.
struct Binding {
    QLineEdit *OrvallaForm::*edit = nullptr;
    QString Settings::*text = nullptr;
    QPlainTextEdit *OrvallaForm::*memo = nullptr;
    QStringList Settings::*lines = nullptr;
    QCheckBox *OrvallaForm::*box = nullptr;
    bool Settings::*checked = nullptr;
    QComboBox *OrvallaForm::*combo = nullptr;
    std::int32_t Settings::*index = nullptr;
    std::optional<SettingsSwitch> which {};
};

constexpr Binding bind(QLineEdit *OrvallaForm::*edit, QString Settings::*text)
{
    return { .edit = edit, .text = text };
}

constexpr Binding bind(QPlainTextEdit *OrvallaForm::*memo, QStringList Settings::*lines)
{
    return { .memo = memo, .lines = lines };
}

constexpr Binding bind(QCheckBox *OrvallaForm::*box, bool Settings::*checked)
{
    return { .box = box, .checked = checked };
}

constexpr Binding bind(QComboBox *OrvallaForm::*combo, std::int32_t Settings::*index)
{
    return { .combo = combo, .index = index };
}

constexpr Binding bindSwitch(QCheckBox *OrvallaForm::*box, bool Settings::*checked, SettingsSwitch which)
{
    return { .box = box, .checked = checked, .which = which };
}

// The numbers behind the interval and calibration fields are not here: they
// change only by the actions that take the fields' texts (arming a switch,
// Enter in a calibration field) and by the load.
constexpr Binding kBindings[] = {
    bindSwitch(&OrvallaForm::CheckBox_correo_auto, &Settings::correo_auto, SettingsSwitch::CorreoAuto),
    bindSwitch(&OrvallaForm::CheckBox_ftp_auto, &Settings::ftp_auto, SettingsSwitch::FtpAuto),
    bindSwitch(&OrvallaForm::CheckBox_http_activo, &Settings::http_activo, SettingsSwitch::HttpActivo),
    bindSwitch(&OrvallaForm::CheckBox_excel_activo, &Settings::excel_activo, SettingsSwitch::ExcelActivo),
    bindSwitch(&OrvallaForm::CheckBox_modo_simulado, &Settings::modo_simulado, SettingsSwitch::ModoSimulado),
    bindSwitch(&OrvallaForm::CheckBox_webcam_auto, &Settings::webcam_auto, SettingsSwitch::WebcamAuto),
    bind(&OrvallaForm::Edit_correo_intervalo, &Settings::correo_intervalo),
    bind(&OrvallaForm::Edit_ftp_intervalo, &Settings::ftp_intervalo),
    bind(&OrvallaForm::Edit_datos_intervalo_min, &Settings::datos_intervalo_min),
    bind(&OrvallaForm::Edit_cal_pir, &Settings::cal_pir),
    bind(&OrvallaForm::Edit_vref_tx, &Settings::vref_tx),
    bind(&OrvallaForm::Edit_cal_bar, &Settings::cal_bar),
    bind(&OrvallaForm::Edit_servidor_smtp, &Settings::servidor_smtp),
    bind(&OrvallaForm::Edit_porto_smtp, &Settings::porto_smtp),
    bind(&OrvallaForm::Edit_clave_smtp, &Settings::clave_smtp),
    bind(&OrvallaForm::Edit_usuario_smtp, &Settings::usuario_smtp),
    bind(&OrvallaForm::Edit_dominio_smtp, &Settings::dominio_smtp),
    bind(&OrvallaForm::Edit_remitente_smtp, &Settings::remitente_smtp),
    bind(&OrvallaForm::Edit_motivo_smtp, &Settings::motivo_smtp),
    bind(&OrvallaForm::Memo_destinatarios_smtp, &Settings::destinatarios_smtp),
    bind(&OrvallaForm::Edit_ftp_hostname, &Settings::ftp_hostname),
    bind(&OrvallaForm::Edit_ftp_username, &Settings::ftp_username),
    bind(&OrvallaForm::Edit_ftp_clave, &Settings::ftp_clave),
    bind(&OrvallaForm::Edit_ftp_port, &Settings::ftp_port),
    bind(&OrvallaForm::Edit_ftp_ruta_local_ficheiro, &Settings::ftp_ruta_local_ficheiro),
    bind(&OrvallaForm::Edit_ftp_ruta_remota_ficheiro, &Settings::ftp_ruta_remota_ficheiro),
    bind(&OrvallaForm::Memo_ftp_nome_ficheiro, &Settings::ftp_nome_ficheiro),
    bind(&OrvallaForm::Edit_http_ruta, &Settings::http_ruta),
    bind(&OrvallaForm::Edit_http_fonte, &Settings::http_fonte),
    bind(&OrvallaForm::Edit_http_destino, &Settings::http_destino),
    bind(&OrvallaForm::Edit_excel_ruta_ficheiro, &Settings::excel_ruta_ficheiro),
    bind(&OrvallaForm::Edit_excel_nome_ficheiro, &Settings::excel_nome_ficheiro),
    bind(&OrvallaForm::CheckBox_ftp_pasivo, &Settings::ftp_pasivo),
    bind(&OrvallaForm::ComboBox_ftp_seguridade, &Settings::ftp_seguridade),
    bind(&OrvallaForm::ComboBox_smtp_seguridade, &Settings::smtp_seguridade),
    bind(&OrvallaForm::Edit_certificados, &Settings::certificados),
    bind(&OrvallaForm::Edit_base_datos_central, &Settings::base_datos_central),
};

} // namespace

void showSettings(const OrvallaForm &ui, const Settings &st, bool withSwitches)
{
    for (const Binding &b : kBindings) {
        if (b.edit) {
            (ui.*b.edit)->setText(st.*b.text);
        } else if (b.memo) {
            (ui.*b.memo)->setPlainText((st.*b.lines).join(QLatin1Char('\n')));
        } else if (b.box && (withSwitches || !b.which)) {
            (ui.*b.box)->setChecked(st.*b.checked);
        } else if (b.combo) {
            (ui.*b.combo)->setCurrentIndex(int(st.*b.index));
        }
    }
}

void followSettingsFields(const OrvallaForm &ui, Settings &st, QObject *context)
{
    for (const Binding &b : kBindings) {
        if (b.edit) {
            QObject::connect(ui.*b.edit, &QLineEdit::textChanged, context,
                [&st, text = b.text](const QString &t) { st.*text = t; });
        } else if (b.memo) {
            QObject::connect(
                ui.*b.memo, &QPlainTextEdit::textChanged, context, [&st, memo = ui.*b.memo, lines = b.lines] {
                    st.*lines = memo->toPlainText().split(QLatin1Char('\n'));
                });
        } else if (b.box) {
            QObject::connect(ui.*b.box, &QCheckBox::toggled, context,
                [&st, checked = b.checked](bool on) { st.*checked = on; });
        } else if (b.combo) {
            QObject::connect(ui.*b.combo, &QComboBox::currentIndexChanged, context,
                [&st, index = b.index](int i) { st.*index = i; });
        }
    }
}

QCheckBox *switchBox(const OrvallaForm &ui, SettingsSwitch which)
{
    for (const Binding &b : kBindings) {
        if (b.which == which)
            return ui.*b.box;
    }
    return nullptr;
}

QStringList fieldLines(const QStringList &lines)
{
    if (lines.size() == 1 && lines.first().isEmpty())
        return {};
    return lines;
}

} // namespace orvalla
