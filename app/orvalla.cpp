#include "app/orvalla.h"

#include "app/message_sink.h"
#include "app/settings_fields.h"
#include "common/log.h"
#include "common/text.h"
#include "console/settings.h"
#include "excel/excel_workbook.h"
#include "history/chart.h"
#include "history/history.h"
#include "net/ftp_client.h"
#include "net/http_server.h"
#include "publish/feed_files.h"
#include "publish/ftp_upload.h"
#include "publish/html_page.h"
#include "publish/http_switch.h"
#include "publish/mail_report.h"
#include "recording/dailyreport.h"
#include "recording/datalog.h"
#include "recording/maxmin.h"
#include "station/decoder.h"
#include "station/link.h"
#include "webcam/qtvideocapture.h"
#include "webcam/webcam.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <stdexcept>
#include <utility>

namespace orvalla
{

namespace
{
// Shown on the "Vídeo" tab when initialising finds no camera.
constexpr const char *kNoCameraText = "Non se atopou ningunha cámara";
} // namespace

// Everything the window owns besides its controls.
struct TOrvallaEngines {
    TOrvallaEngines(QObject *window, const Clock &clock, TOrvallaOptions options)
        : httpServer(new HttpServer(window))
        , httpSwitch(httpServer)
        , ftpClient(new FtpClient(window))
        , ftp(ftpClient)
        , mail(new MailReport(window))
        , workbook(options.automation ? std::move(options.automation) : defaultAutomationServer())
        , capture(options.capture ? std::move(options.capture) : std::make_unique<QtVideoCapture>())
        , webcam(new Webcam(capture.get(), &clock, window))
        , workbookCloseWaitMs(options.workbookCloseWaitMs)
    {
        // The mail's Date and Message-ID agree with every other time the console shows.
        mail->client().setClock(&clock);
        ftp.setClock(&clock);
    }
    // The webcam uses the capture layer: it goes first.
    ~TOrvallaEngines() { delete webcam; }
    TOrvallaEngines(const TOrvallaEngines &) = delete;
    TOrvallaEngines &operator=(const TOrvallaEngines &) = delete;

    Settings settings;
    StationLink link;
    DataLog dataLog;
    ReadingHistory history; // the archive beside the day files
    DailyReport report;
    DailyExtremes extremes { &report };
    HttpServer *httpServer; // a child of the window, found by its name
    HttpSwitch httpSwitch;
    FtpClient *ftpClient; // ClienteFtp
    FtpUpload ftp;
    MailReport *mail; // owns ClienteSmtp and Timer_correo
    ExcelWorkbook workbook;
    std::unique_ptr<TVideoCapture> capture;
    Webcam *webcam; // owns Timer_camara
    int workbookCloseWaitMs;

    bool captureConfig = false;
};

TOrvalla::TOrvalla(const Clock &clock, MessageSink *sink, QWidget *parent)
    : TOrvalla(clock, sink, TOrvallaOptions(), parent)
{
}

TOrvalla::TOrvalla(const Clock &clock, MessageSink *sink, TOrvallaOptions options, QWidget *parent)
    : QMainWindow(parent)
    , m_clock(clock)
    , m_sink(sink)
    , m_tick(clock, *this)
    , m_engines(std::make_unique<TOrvallaEngines>(this, clock, std::move(options)))
    , m_closeWait(new QTimer(this))
{
    if (!m_sink) {
        m_ownSink = std::make_unique<MessageBoxSink>(this);
        m_sink = m_ownSink.get();
    }
    ui.setupUi(this);
    TOrvallaEngines &e = *m_engines;
    // The components hang under the window by their design names, inside the
    // engines that drive them.
    e.httpServer->setObjectName(QStringLiteral("ServidorHttp"));
    e.ftpClient->setObjectName(QStringLiteral("ClienteFtp"));
    e.mail->setObjectName(QStringLiteral("MailReport"));
    e.mail->client().setParent(e.mail);
    e.mail->client().setObjectName(QStringLiteral("ClienteSmtp"));
    e.mail->stepTimer().setParent(e.mail);
    e.mail->stepTimer().setObjectName(QStringLiteral("Timer_correo"));
    e.workbook.setObjectName(QStringLiteral("Excel"));
    e.webcam->setObjectName(QStringLiteral("Webcam"));
    e.webcam->shotTimer().setParent(e.webcam);
    e.webcam->shotTimer().setObjectName(QStringLiteral("Timer_camara"));
    if (QWidget *preview = e.capture->previewWidget()) {
        auto *box = new QVBoxLayout(ui.VideoCapture);
        box->setContentsMargins(1, 1, 1, 1); // inside the frame's line
        box->addWidget(preview);
    }
    ui.SG_serie->setModel(m_engines->dataLog.minuteTable());
    ui.SG_maxmin->setModel(m_engines->report.grid());
    // First: every other handler of a field's change sees the settings updated.
    followSettingsFields(ui, m_engines->settings, this);
    connectHandlers();
    try {
        FormCreate();
    } catch (const std::exception &e) {
        // The window opens as far as start-up got.
        qCCritical(lcApp, "start-up stopped: %s", e.what());
        m_sink->error(QString::fromLocal8Bit(e.what()));
    }
}

TOrvalla::~TOrvalla() = default;

ExcelWorkbook &TOrvalla::workbook()
{
    return m_engines->workbook;
}

Webcam &TOrvalla::webcam()
{
    return *m_engines->webcam;
}

QString TOrvalla::systemId() const
{
    return m_engines->settings.identifier;
}

bool TOrvalla::receptionActiveFlag() const
{
    return m_engines->link.receptionActive();
}

void TOrvalla::connectHandlers()
{
    connect(ui.Timer_reloxo, &QTimer::timeout, this, &TOrvalla::Timer_reloxoTimer);
    // Setting a check box in code runs its action when its state changes.
    connect(ui.CheckBox_correo_auto, &QCheckBox::toggled, this, &TOrvalla::CheckBox_correo_autoClick);
    connect(ui.CheckBox_ftp_auto, &QCheckBox::toggled, this, &TOrvalla::CheckBox_ftp_autoClick);
    connect(ui.CheckBox_correo_pendente, &QCheckBox::toggled, this, &TOrvalla::CheckBox_correo_pendenteClick);
    connect(ui.CheckBox_http_activo, &QCheckBox::toggled, this, &TOrvalla::CheckBox_http_activoClick);
    connect(ui.CheckBox_excel_activo, &QCheckBox::toggled, this, &TOrvalla::CheckBox_excel_activoClick);
    for (QLineEdit *e : { ui.Edit_vref_tx, ui.Edit_cal_pir, ui.Edit_cal_bar })
        e->installEventFilter(this);

    connect(ui.Button_ft_abrir, &QPushButton::clicked, this, &TOrvalla::Button_ft_abrirClick);
    connect(ui.Button_ft_pechar, &QPushButton::clicked, this, &TOrvalla::Button_ft_pecharClick);
    connect(ui.Button_serie_clear, &QPushButton::clicked, this, &TOrvalla::Button_serie_clearClick);
    connect(ui.Button_serie_copiar, &QPushButton::clicked, this, &TOrvalla::Button_serie_copiarClick);
    connect(ui.Button_actualiza_htm, &QPushButton::clicked, this, &TOrvalla::Button_actualiza_htmClick);
    connect(ui.Button_excel_actualizar, &QPushButton::clicked, this, &TOrvalla::Button_excel_actualizarClick);
    connect(ui.Button_ftp_transmit2, &QPushButton::clicked, this, &TOrvalla::Button_ftp_transmit2Click);
    connect(ui.Button_smtp_transmit2, &QPushButton::clicked, this, &TOrvalla::Button_smtp_transmit2Click);

    StationLink &link = m_engines->link;
    connect(&link, &StationLink::readingDecoded, this, &TOrvalla::readingDecoded);
    connect(&link, &StationLink::rawDataReceived, this, [this](quint32 count, const QString &text) {
        ui.Edit_numchar->setText(QString::number(count));
        ui.Edit_serie->setText(text);
    });

    connect(&m_engines->history, &ReadingHistory::statusChanged, ui.Status_linha,
        [this](const QString &text) { ui.Status_linha->showMessage(text); });
    connect(&m_engines->history, &ReadingHistory::readingsChanged, this, &TOrvalla::refreshCharts);
    connect(&m_engines->history.central(), &CentralSender::statusChanged, this, [this](const QString &text) {
        ui.Label_central_estado->setText(text);
        ui.Label_central_linha->setText(text);
    });
    connect(ui.Edit_base_datos_central, &QLineEdit::editingFinished, this,
        [this] { m_engines->history.setCentralDatabase(m_engines->settings.base_datos_central); });
    connect(ui.Controis, &QTabWidget::currentChanged, this, [this] {
        if (m_chartsStale)
            refreshCharts();
    });
    for (QComboBox *c : { ui.ComboBox_grafica_magnitude, ui.ComboBox_grafica_periodo })
        connect(c, &QComboBox::currentIndexChanged, this, &TOrvalla::refreshCharts);

    DataLog &log = m_engines->dataLog;
    connect(&log, &DataLog::dataFileNameChanged, ui.Edit_serie_nome_ficheiro, &QLineEdit::setText);
    connect(&log, &DataLog::mailQueueChanged, this,
        [this] { ui.Memo_serie->setPlainText(m_engines->dataLog.mailQueueText()); });
    connect(&log, &DataLog::minuteRowRecorded, this, [this](int row) {
        ui.SG_serie->selectRow(row);
        ui.SG_serie->scrollTo(ui.SG_serie->model()->index(row, 1));
    });
    connect(&m_engines->report, &DailyReport::currentRowChanged, this, [this](int row) {
        ui.SG_maxmin->selectRow(row);
        ui.SG_maxmin->scrollTo(ui.SG_maxmin->model()->index(row, 1));
    });
    MailReport *mail = m_engines->mail;
    connect(mail, &MailReport::resultCleared, ui.Memo_resultado, &QPlainTextEdit::clear);
    connect(mail, &MailReport::resultAppended, ui.Memo_resultado, &QPlainTextEdit::appendPlainText);
    connect(mail, &MailReport::messageChanged, this,
        [this](const QStringList &lines) { ui.Memo_mensaxe->setPlainText(lines.join(QLatin1Char('\n'))); });
    connect(mail, &MailReport::subjectChanged, ui.Edit_motivo_smtp, &QLineEdit::setText);
    connect(mail, &MailReport::exceptionRaised, this, [this](const QString &text) {
        qCWarning(lcApp, "mail: %s", qUtf8Printable(text));
        m_sink->error(text);
    });
    connect(ui.Button_conectar, &QPushButton::clicked, this,
        [this] { m_engines->mail->Button_conectarClick(mailFields()); });
    connect(ui.Button_envio, &QPushButton::clicked, mail, &MailReport::Button_envioClick);
    connect(ui.Button_desconectar, &QPushButton::clicked, mail, &MailReport::Button_desconectarClick);
    connect(ui.Button_smtp_borra_mensaxe, &QPushButton::clicked, mail,
        &MailReport::Button_smtp_borra_mensaxeClick);
    connect(ui.Button_smtp_transmit, &QPushButton::clicked, this,
        [this] { m_engines->mail->Button_smtp_transmitClick(mailFields()); });

    FtpUpload &ftp = m_engines->ftp;
    connect(ftp.displayLog(), &FtpDisplayLog::cleared, ui.Memo_ftp, &QPlainTextEdit::clear);
    connect(ftp.displayLog(), &FtpDisplayLog::lineAdded, ui.Memo_ftp, &QPlainTextEdit::appendPlainText);
    const auto withSettings = [this](auto call) {
        return [this, call] {
            m_engines->ftp.setSettings(ftpSettings());
            call(m_engines->ftp);
        };
    };
    connect(ui.Button_ftp_conectar, &QPushButton::clicked, this,
        withSettings([](FtpUpload &f) { f.Button_ftp_conectarClick(); }));
    connect(ui.Button_ftp_sair, &QPushButton::clicked, this,
        withSettings([](FtpUpload &f) { f.Button_ftp_sairClick(); }));
    connect(ui.Button_ftp_enviar, &QPushButton::clicked, this,
        withSettings([](FtpUpload &f) { f.Button_ftp_enviarClick(); }));
    connect(ui.Button_ftp_desconectar, &QPushButton::clicked, this,
        withSettings([](FtpUpload &f) { f.Button_ftp_desconectarClick(); }));
    // A running batch reads the upload list and the local folder before each
    // file, so their edits reach it at once.
    const auto liveSettings = [this] { m_engines->ftp.setSettings(ftpSettings()); };
    connect(ui.Memo_ftp_nome_ficheiro, &QPlainTextEdit::textChanged, this, liveSettings);
    connect(ui.Edit_ftp_ruta_local_ficheiro, &QLineEdit::textChanged, this, liveSettings);
    connect(ui.Button_ftp_transmit, &QPushButton::clicked, this, [this] {
        const ClockFields &c = m_tick.clockFields();
        m_engines->ftp.setSettings(ftpSettings());
        if (m_engines->ftp.Button_ftp_transmitClick(m_engines->settings.identifier, c.day, c.month, c.year))
            showBatchOutcome(false);
    });
    connect(&ftp, &FtpUpload::lastSuccessChanged, ui.Edit_ftp_ultimo_envio, &QLineEdit::setText);
    connect(&ftp, &FtpUpload::lastFailureChanged, ui.Edit_ftp_ultimo_fallo, [this](const QString &text) {
        ui.Edit_ftp_ultimo_fallo->setText(text);
        ui.Edit_ftp_ultimo_fallo->setCursorPosition(0);
    });
    connect(ui.Button_certificados, &QPushButton::clicked, this, &TOrvalla::Button_certificadosClick);

    connect(&m_engines->httpSwitch, &HttpSwitch::statusChanged, this, [this](const QString &text) {
        ui.Label_http_estado->setText(text);
        ui.Status_linha->showMessage(text);
    });

    connectWorkbook();
    connectWebcam();
}

void TOrvalla::connectWorkbook()
{
    ExcelWorkbook &wb = m_engines->workbook;
    // Queued: the close runs from the loop, once the call's stack is gone.
    connect(
        &wb, &ExcelWorkbook::idle, this,
        [this] {
            if (m_closeWait->isActive())
                close();
        },
        Qt::QueuedConnection);
    m_closeWait->setSingleShot(true);
    m_closeWait->setInterval(m_engines->workbookCloseWaitMs);
    connect(m_closeWait, &QTimer::timeout, this, [this] {
        qCWarning(lcApp,
            "the workbook call did not end within %d s: closing without it "
            "(the workbook's unsaved changes are lost)",
            (m_closeWait->interval() + 999) / 1000);
        m_closeGaveUp = true;
        m_engines->workbook.abandon();
        close();
    });
    connect(&wb, &ExcelWorkbook::statusChanged, ui.Label_excel_estado, &QLabel::setText);
    connect(&wb, &ExcelWorkbook::failed, this, [this](const QString &text) {
        ui.Label_excel_estado->setText(text);
        reportFailure(text);
    });
}

void TOrvalla::connectWebcam()
{
    Webcam *cam = m_engines->webcam;
    cam->setFtpConnectedQuery([this] { return m_engines->ftpClient->Connected(); });
    cam->setLastStorageMinuteQuery([this] { return m_tick.lastStorageMinute(); });
    connect(cam, &Webcam::viewChanged, this, &TOrvalla::showVideoView);

    connect(ui.Button_inicializa_video, &QPushButton::clicked, this, &TOrvalla::InitVideo);
    connect(
        ui.Button_previsualiza_video, &QPushButton::clicked, cam, &Webcam::Button_previsualiza_videoClick);
    connect(ui.Button_captura_video, &QPushButton::clicked, cam, &Webcam::Button_captura_videoClick);
    connect(ui.Button_fin_previsualiza_video, &QPushButton::clicked, cam,
        &Webcam::Button_fin_previsualiza_videoClick);
    connect(ui.Button_configura_video, &QPushButton::clicked, this, &TOrvalla::Button_configura_videoClick);
    connect(ui.Button_finaliza_video, &QPushButton::clicked, cam, &Webcam::Button_finaliza_videoClick);
    connect(ui.Button_actualiza_webcam, &QPushButton::clicked, cam, &Webcam::Button_actualiza_webcamClick);
    // The operator's choice only: filling the lists must not set a mode.
    connect(ui.cbVModes, &QComboBox::activated, cam, &Webcam::cbVModesChange);
    connect(ui.cbAModes, &QComboBox::activated, cam, &Webcam::cbAModesChange);
}

void TOrvalla::showVideoView()
{
    const VideoTabView &v = m_engines->webcam->view();
    ui.Edit_video->setText(v.videoDevice);
    ui.Edit_audio->setText(v.audioDevice);
    ui.cbVModes->clear();
    ui.cbVModes->addItems(v.videoModes);
    ui.cbVModes->setCurrentIndex(v.videoMode);
    ui.cbAModes->clear();
    ui.cbAModes->addItems(v.audioModes);
    ui.cbAModes->setCurrentIndex(v.audioMode);
    ui.lbDialogs->clear();
    for (qsizetype i = 0; i < v.dialogTitles.size(); ++i) {
        auto *item = new QListWidgetItem(v.dialogTitles.at(i), ui.lbDialogs);
        item->setData(Qt::UserRole, v.dialogKinds.value(i));
    }
}

// ---------------------------------------------------------------- lifecycle

void TOrvalla::FormCreate()
{
    TOrvallaEngines &e = *m_engines;
    Settings &st = e.settings;
    // 1, 5, 11-14, 17-20: every setting at its default, in its field.
    st = Settings();
    showSettings(ui, st, true);
    // 2, 3
    m_tick.reset();
    ui.CheckBox_correo_pendente->setChecked(false);
    // 4
    m_reading = Reading();
    // 5
    e.link.setCalibration(Calibration { st.pyranometer_cal, st.transmitter_vref, st.barometer_cal });
    // 6
    e.extremes.state() = MaxMinState();
    // 7
    e.report.InitDailyGrid();
    // The design's widths, or the heading's when the screen font needs more.
    for (int c = 0; c < DailyGridModel::ColumnCount; ++c) {
        const QString heading = ui.SG_maxmin->model()->index(0, c).data().toString();
        ui.SG_maxmin->setColumnWidth(c,
            qMax(
                DailyGridModel::columnWidth(c), ui.SG_maxmin->fontMetrics().horizontalAdvance(heading) + 12));
    }
    // 8
    emptyStatistics();
    // 9: the link, the mail client and the FTP client start closed.
    // 10
    ui.Timer_reloxo->setInterval(1000);
    ui.Timer_reloxo->start();
    e.mail->stepTimer().setInterval(100);
    e.mail->stepTimer().stop();
    e.webcam->setShotInterval(10000);
    e.webcam->shotTimer().stop();
    // 12
    ApplyMailSettings();
    // 14
    ApplyFtpSettings();
    // 15
    ui.Edit_serie_nome_ficheiro->setText(st.identifier + QStringLiteral("_datos_dd-mm-aaaa.txt"));
    // 16: the FTP upload starts with no interval file sent.
    // 18
    ui.Edit_ftp_falta->clear();
    m_tick.setFtpCountdown(0);
    // 19
    ui.Edit_datos_intervalo_min->setEnabled(false);
    // 20: the connection is closed: the workbook object starts without an application.
    // 21
    e.dataLog.resetMinuteTable(clockLocalTime());
    LoadSettings();
    // 22
    if (st.modo_simulado) {
        e.link.startSimulated();
        qCInfo(lcApp, "simulated reception: no device is opened");
    } else {
        deviceOpen();
    }
    // 23: the webcam starts with the camera not ready.
    createCaptureConfig();
    // 24
    if (st.webcam_auto)
        InitVideo();
    m_created = true;
    qCInfo(lcApp, "start-up done; system identifier \"%s\"", qUtf8Printable(st.identifier));
}

// The loaded values on screen (the switches change through switchLoaded so
// that their actions run).
void TOrvalla::settingsToScreen()
{
    showSettings(ui, m_engines->settings, false);
    for (QLineEdit *e : { ui.Edit_cal_pir, ui.Edit_vref_tx, ui.Edit_cal_bar })
        e->setCursorPosition(0); // long float texts show their start
}

void TOrvalla::switchLoaded(int which, bool checked)
{
    // As an operator's click: the values loaded so far are on screen, the box
    // changes and, if its state changed, its action runs.
    settingsToScreen();
    if (QCheckBox *box = switchBox(ui, SettingsSwitch(which)))
        box->setChecked(checked);
}

void TOrvalla::LoadSettings()
{
    TOrvallaEngines &e = *m_engines;
    SettingsHooks hooks;
    hooks.switchChanged = [this](SettingsSwitch which, bool checked) { switchLoaded(int(which), checked); };
    hooks.setCaption = [this](const QString &caption) {
        setWindowTitle(caption);
        // The identifier names every file from now on, also in ticks that run
        // while a later key's action waits (the workbook opening).
        m_engines->dataLog.setSystemId(m_engines->settings.identifier);
        m_engines->report.setSystemId(m_engines->settings.identifier);
    };
    hooks.setHttpServerActive = [this](bool active) {
        settingsToScreen();
        const Settings &st = m_engines->settings;
        if (!m_engines->httpSwitch.SetHttpServerActive(active, st.http_ruta, st.http_destino))
            reportFailure(m_engines->httpSwitch.statusText());
    };
    hooks.openWorkbook = [this] { m_workbookOpenPending = true; };
    QString error;
    m_loadingSettings = true;
    const bool loaded = orvalla::LoadSettings(e.settings, e.extremes.state(), hooks, QString(), &error);
    m_loadingSettings = false;
    if (!loaded)
        reportFailure(error);
    settingsToScreen();
    const Settings &st = e.settings;
    e.dataLog.setSystemId(st.identifier);
    e.report.setSystemId(st.identifier);
    e.link.setCalibration(Calibration { st.pyranometer_cal, st.transmitter_vref, st.barometer_cal });
    e.history.start(st.identifier);
    e.history.setCentralDatabase(st.base_datos_central);
    // Opening waits for the office in a nested loop where ticks run: they must
    // see the whole file applied (storage interval, calibration), not half of it.
    if (std::exchange(m_workbookOpenPending, false) && st.excel_activo)
        openWorkbook();
}

void TOrvalla::SaveSettings()
{
    // The fields are in the settings already; the tracker keeps its own copy.
    Settings &st = m_engines->settings;
    const MaxMinState &mm = m_engines->extremes.state();
    st.start_offset = mm.start_offset;
    st.period = mm.period;
    st.failure_limit = mm.failure_limit;
    st.min_readings = mm.min_readings;
    QString error;
    if (!orvalla::SaveSettings(m_engines->settings, QString(), &error))
        reportFailure(error);
}

void TOrvalla::FormClose()
{
    if (m_closed)
        return;
    m_closed = true;
    // 1
    SaveSettings();
    // 2
    if (m_engines->workbook.isOpen())
        closeWorkbook();
    // 3
    destroyCaptureConfig();
}

void TOrvalla::closeEvent(QCloseEvent *event)
{
    // A workbook call waits in a nested loop further down the stack: closing
    // now would quit under it and lose what the workbook has not saved. The
    // close runs again once the call has ended (connectWorkbook).
    if (m_engines->workbook.isBusy() && !m_closeGaveUp) {
        event->ignore();
        if (!m_closeWait->isActive()) {
            qCInfo(lcApp, "closing once the running workbook call ends (at most %d s)",
                (m_closeWait->interval() + 999) / 1000);
            m_closeWait->start();
        }
        return;
    }
    m_closeWait->stop();
    FormClose();
    event->accept();
}

// ---------------------------------------------------------------- helpers

void TOrvalla::message(const QString &text)
{
    m_sink->message(text);
}

void TOrvalla::reportFailure(const QString &text)
{
    qCWarning(lcApp, "%s", qUtf8Printable(text));
    ui.Status_linha->showMessage(text);
}

LocalTime TOrvalla::clockLocalTime() const
{
    return m_tick.clockFields();
}

void TOrvalla::refreshCharts()
{
    if (ui.Controis->currentWidget() != ui.TabSheet9) {
        m_chartsStale = true;
        return;
    }
    m_chartsStale = false;
    const ReadingArchive &archive = m_engines->history.archive();
    const QString id = m_engines->history.systemId();
    const std::time_t now = m_clock.now();
    const ChartData data
        = loadChart(archive, id, ChartQuantity(ui.ComboBox_grafica_magnitude->currentIndex()),
            ChartSpan(ui.ComboBox_grafica_periodo->currentIndex()), now);
    ui.Image_grafica->setPixmap(QPixmap::fromImage(drawChart(data, ui.Image_grafica->contentsRect().size())));
    const LocalTime today = toLocalTime(now);
    const PeriodExtremesTexts month = periodExtremes(archive, id, today.year, today.month);
    const PeriodExtremesTexts year = periodExtremes(archive, id, today.year, 0);
    ui.Edit_grafica_mes_tempmax->setText(month.temperatureMax);
    ui.Edit_grafica_mes_ttempmax->setText(month.temperatureMaxAt);
    ui.Edit_grafica_mes_tempmin->setText(month.temperatureMin);
    ui.Edit_grafica_mes_ttempmin->setText(month.temperatureMinAt);
    ui.Edit_grafica_mes_choiva->setText(month.rain);
    ui.Edit_grafica_ano_tempmax->setText(year.temperatureMax);
    ui.Edit_grafica_ano_ttempmax->setText(year.temperatureMaxAt);
    ui.Edit_grafica_ano_tempmin->setText(year.temperatureMin);
    ui.Edit_grafica_ano_ttempmin->setText(year.temperatureMinAt);
    ui.Edit_grafica_ano_choiva->setText(year.rain);
}

void TOrvalla::emptyStatistics()
{
    for (QLineEdit *e : ui.statisticsFields()) {
        e->clear();
        e->setEnabled(false);
    }
}

void TOrvalla::showStatistics()
{
    // Each statistics field and the text it shows.
    static constexpr std::pair<QLineEdit * OrvallaForm::*, QString MaxMinTexts::*> shown[] = {
        { &OrvallaForm::Edit_maxmin_ini, &MaxMinTexts::ini },
        { &OrvallaForm::Edit_maxmin_int, &MaxMinTexts::int_ },
        { &OrvallaForm::Edit_maxmin_fallo, &MaxMinTexts::fallo },
        { &OrvallaForm::Edit_maxmin_ndatos, &MaxMinTexts::ndatos },
        { &OrvallaForm::Edit_maxmin_dataact, &MaxMinTexts::dataact },
        { &OrvallaForm::Edit_maxmin_falloact, &MaxMinTexts::falloact },
        { &OrvallaForm::Edit_maxmin_ndatosact, &MaxMinTexts::ndatosact },
        { &OrvallaForm::Edit_maxmin_tempmin, &MaxMinTexts::tempmin },
        { &OrvallaForm::Edit_maxmin_tempmax, &MaxMinTexts::tempmax },
        { &OrvallaForm::Edit_maxmin_hummin, &MaxMinTexts::hummin },
        { &OrvallaForm::Edit_maxmin_hummax, &MaxMinTexts::hummax },
        { &OrvallaForm::Edit_maxmin_activo, &MaxMinTexts::activo },
        { &OrvallaForm::Edit_maxmin_ttempmin, &MaxMinTexts::ttempmin },
        { &OrvallaForm::Edit_maxmin_ttempmax, &MaxMinTexts::ttempmax },
        { &OrvallaForm::Edit_maxmin_thummin, &MaxMinTexts::thummin },
        { &OrvallaForm::Edit_maxmin_thummax, &MaxMinTexts::thummax },
        { &OrvallaForm::Edit_maxmin_tini, &MaxMinTexts::tini },
        { &OrvallaForm::Edit_maxmin_tfin, &MaxMinTexts::tfin },
    };
    const MaxMinTexts texts = m_engines->extremes.texts();
    for (const auto &[field, text] : shown)
        (ui.*field)->setText(texts.*text);
}

void TOrvalla::showReading()
{
    const QStringList texts = readingScreenTexts(m_reading);
    const QList<QLineEdit *> fields = ui.readingFields();
    for (qsizetype i = 0; i < fields.size() && i < texts.size(); ++i)
        fields.at(i)->setText(texts.at(i));
}

ReadingScreenTexts TOrvalla::screenTexts() const
{
    ReadingScreenTexts t;
    t.date = ui.Edit_lectura_data->text();
    t.time = ui.Edit_lectura_hora->text();
    return t;
}

// ---------------------------------------------------------------- clock tick

bool TOrvalla::mailAuto() const
{
    return m_engines->settings.correo_auto;
}

bool TOrvalla::ftpAuto() const
{
    return m_engines->settings.ftp_auto;
}

bool TOrvalla::webcamAuto() const
{
    return m_engines->settings.webcam_auto;
}

bool TOrvalla::receptionActive() const
{
    return m_engines->link.receptionActive();
}

std::int32_t TOrvalla::mailTime() const
{
    return m_engines->settings.mail_time;
}

std::int32_t TOrvalla::ftpInterval() const
{
    return m_engines->settings.ftp_interval;
}

std::int32_t TOrvalla::logInterval() const
{
    return m_engines->settings.log_interval;
}

QByteArray TOrvalla::minuteTableLine(int minuteOfDay) const
{
    return m_engines->dataLog.minuteLine(minuteOfDay);
}

std::int32_t &TOrvalla::tickDivider()
{
    return m_engines->extremes.state().tick_divider;
}

void TOrvalla::showClock(const ClockFields &c)
{
    ui.Edit_hora->setText(QString::fromLatin1(formatC("%02d", c.hour)));
    ui.Edit_minuto->setText(QString::fromLatin1(formatC("%02d", c.minute)));
    ui.Edit_segundo->setText(QString::fromLatin1(formatC("%02d", c.second)));
    ui.Edit_dia->setText(QString::fromLatin1(formatC("%02d", c.day)));
    ui.Edit_ano->setText(QString::fromLatin1(formatC("%04d", c.year)));
    ui.Edit_mes->setText(galicianMonthName(c.month));
    ui.Edit_hor2->setText(ui.Edit_hora->text());
    ui.Edit_min2->setText(ui.Edit_minuto->text());
    ui.Edit_seg2->setText(ui.Edit_segundo->text());
}

void TOrvalla::setMailPendingBox(bool checked)
{
    ui.CheckBox_correo_pendente->setChecked(checked);
}

void TOrvalla::appendIntervalRecord(const QByteArray &record)
{
    QString error;
    if (!m_engines->dataLog.appendIntervalRecord(record, clockLocalTime(), &error))
        reportFailure(error);
}

void TOrvalla::startWebcamShot()
{
    m_engines->webcam->StartWebcamShot();
}

void TOrvalla::sendReportMail(const ClockFields &c)
{
    // A queue that could not be cleared may go out again tomorrow: say so.
    const QString error = m_engines->mail->SendReportMail(mailFields(), m_engines->dataLog, c);
    if (!error.isEmpty())
        reportFailure(error);
}

void TOrvalla::showFtpRemaining(std::int32_t seconds)
{
    ui.Edit_ftp_falta->setText(QString::number(seconds));
}

void TOrvalla::abortFtpIfConnected()
{
    m_engines->ftp.setSettings(ftpSettings());
    m_engines->ftp.AbortIfConnected();
}

void TOrvalla::updateHtmlPage()
{
    const Settings &st = m_engines->settings;
    HtmlPageTexts texts { st.http_ruta, st.http_fonte, st.http_destino };
    QString error;
    if (!UpdateHtmlPage(texts, m_reading, screenTexts(), &error))
        reportFailure(error);
    // The charts beside the page. An archive out of order would draw them
    // empty: the last good ones stay until it works again.
    const ReadingHistory &history = m_engines->history;
    error.clear();
    if (history.available() && history.archive().isOpen()
        && !writeWebCharts(history.archive(), history.systemId(), texts.folder, m_clock.now(), &error))
        reportFailure(error);
}

void TOrvalla::updateWorkbook()
{
    // Nothing happens while the workbook is closed.
    const Settings &st = m_engines->settings;
    m_engines->workbook.update(st.excel_ruta_ficheiro, st.identifier);
}

void TOrvalla::writeFeedFiles()
{
    QString error;
    if (!WriteFeedFiles(m_reading, screenTexts(), m_engines->settings.identifier, QString(), &error))
        reportFailure(error);
}

void TOrvalla::startUploadBatch()
{
    runUploadBatch(true);
}

void TOrvalla::runUploadBatch(bool automatic)
{
    const ClockFields &c = m_tick.clockFields();
    FtpUpload &ftp = m_engines->ftp;
    ftp.setSettings(ftpSettings());
    // Blocks in a nested loop; ticks meanwhile are turned away by the tick guard.
    if (!ftp.UploadFiles(m_engines->settings.identifier, c.day, c.month, c.year))
        return;
    showBatchOutcome(automatic);
}

void TOrvalla::showBatchOutcome(bool automatic)
{
    // A failing automatic upload stays in the status line until a batch goes
    // through: the page has stopped updating, whatever else is shown.
    const QString failure = m_engines->ftp.lastBatchFailure();
    if (failure.isEmpty()) {
        ui.Label_ftp_estado->clear();
    } else if (automatic) {
        ui.Label_ftp_estado->setText(QString::fromUtf8("Envío FTP automático fallido: ") + failure);
        qCWarning(lcApp, "automatic FTP upload failed: %s", qUtf8Printable(failure));
    }
}

void TOrvalla::pollLink()
{
    m_engines->link.poll(clockLocalTime(), m_engines->settings.modo_simulado, m_tick.minuteChangedFlag());
}

void TOrvalla::updateDailyExtremes()
{
    QString error;
    const bool ok = m_engines->extremes.UpdateDailyExtremes(m_reading, clockLocalTime(), &error);
    showStatistics();
    if (!ok)
        reportFailure(error);
}

void TOrvalla::stepFailed(const QString &step, const QString &what)
{
    reportFailure(QStringLiteral("Fallo no paso \"%1\" do reloxo: %2").arg(step, what));
}

// ---------------------------------------------------------------- check boxes

void TOrvalla::CheckBox_correo_autoClick()
{
    Settings &st = m_engines->settings;
    if (!st.correo_auto)
        return;
    QString error;
    const std::optional<int> minutes = armMinutes(st.correo_intervalo, &error);
    if (!minutes) {
        message(error);
        return;
    }
    ui.Edit_correo_intervalo->setText(QString::number(*minutes));
    st.mail_time = *minutes * 60;
}

void TOrvalla::CheckBox_ftp_autoClick()
{
    Settings &st = m_engines->settings;
    if (!st.ftp_auto)
        return;
    m_tick.setFtpCountdown(0);
    QString error;
    const std::optional<int> minutes = armMinutes(st.ftp_intervalo, &error);
    if (!minutes) {
        message(error);
        return;
    }
    ui.Edit_ftp_intervalo->setText(QString::number(*minutes));
    st.ftp_interval = *minutes * 60;
}

void TOrvalla::CheckBox_correo_pendenteClick()
{
    m_tick.setMailPending(ui.CheckBox_correo_pendente->isChecked());
}

bool TOrvalla::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress
        && (watched == ui.Edit_vref_tx || watched == ui.Edit_cal_pir || watched == ui.Edit_cal_bar)) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            Edit_param_KeyPress(key);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TOrvalla::Edit_param_KeyPress(QKeyEvent *event)
{
    if (event && event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return;
    Settings &st = m_engines->settings;
    Calibration c { st.pyranometer_cal, st.transmitter_vref, st.barometer_cal };
    QString error;
    const bool ok = convertCalibration(st.cal_pir, st.cal_bar, st.vref_tx, c, &error);
    st.pyranometer_cal = c.pyranometer_cal;
    st.transmitter_vref = c.transmitter_vref;
    st.barometer_cal = c.barometer_cal;
    m_engines->link.setCalibration(c);
    qCInfo(lcApp, "calibration: pyranometer %g, barometer %g, transmitter %g V", double(c.pyranometer_cal),
        double(c.barometer_cal), double(c.transmitter_vref));
    if (!ok)
        message(error);
}

// ---------------------------------------------------------------- buttons

void TOrvalla::deviceOpen()
{
    QString error;
    if (!m_engines->link.openDevice(&error))
        message(QString::fromLatin1(kDeviceOpenFailedText));
}

void TOrvalla::Button_ft_abrirClick()
{
    deviceOpen();
}

void TOrvalla::Button_ft_pecharClick()
{
    m_engines->link.closeDevice();
}

void TOrvalla::readingDecoded(const Reading &reading, const QByteArray &line)
{
    m_reading = reading;
    DataLog &log = m_engines->dataLog;
    QString error;
    if (!log.appendMailQueue(line, &error))
        reportFailure(error);
    error.clear();
    if (!log.recordReading(line, reading, clockLocalTime(), &error))
        reportFailure(error);
    // After the day files, which stay the record whatever the archive does.
    m_engines->history.recordReadingLine(line);
    showReading();
}

void TOrvalla::Button_serie_clearClick()
{
    QString error;
    if (!m_engines->dataLog.ClearMailQueue(&error))
        reportFailure(error);
}

void TOrvalla::Button_serie_copiarClick()
{
    m_engines->mail->BuildMailBody(
        m_engines->settings.identifier, memoLines(ui.Memo_mensaxe), m_engines->dataLog.mailQueue());
}

void TOrvalla::Button_actualiza_htmClick()
{
    updateHtmlPage();
    writeFeedFiles();
}

void TOrvalla::CheckBox_http_activoClick()
{
    // At start-up the folder and default document are not read yet; the load
    // switches the server once they are.
    if (m_loadingSettings)
        return;
    const Settings &st = m_engines->settings;
    if (!m_engines->httpSwitch.SetHttpServerActive(st.http_activo, st.http_ruta, st.http_destino))
        reportFailure(m_engines->httpSwitch.statusText());
}

void TOrvalla::CheckBox_excel_activoClick()
{
    const bool on = m_engines->settings.excel_activo;
    if (m_loadingSettings && on)
        m_workbookOpenPending = true;
    else if (on)
        openWorkbook();
    else
        closeWorkbook();
}

void TOrvalla::Button_excel_actualizarClick()
{
    updateWorkbook();
}

void TOrvalla::Button_ftp_transmit2Click()
{
    abortFtpIfConnected();
    updateHtmlPage();
    writeFeedFiles();
    // The picture arrives about ten seconds later; this batch sends the previous one.
    if (m_engines->settings.webcam_auto)
        startWebcamShot();
    runUploadBatch(false);
}

void TOrvalla::Button_certificadosClick()
{
    const QString current = m_engines->settings.certificados;
    const QString chosen = QFileDialog::getOpenFileName(this, QString::fromUtf8("Certificados de confianza"),
        current, QString::fromUtf8("Certificados PEM (*.pem *.crt *.cer);;Todos os ficheiros (*)"));
    if (!chosen.isEmpty())
        ui.Edit_certificados->setText(chosen);
}

void TOrvalla::Button_configura_videoClick()
{
    m_engines->webcam->Button_configura_videoClick(this);
}

void TOrvalla::Button_smtp_transmit2Click()
{
    sendReportMail(clockLocalTime());
}

QStringList TOrvalla::memoLines(const QPlainTextEdit *memo)
{
    const QString text = memo->toPlainText();
    if (text.isEmpty())
        return {};
    return text.split(QLatin1Char('\n'));
}

MailFields TOrvalla::mailFields() const
{
    const Settings &st = m_engines->settings;
    MailFields f;
    f.server = st.servidor_smtp;
    f.port = st.porto_smtp;
    f.user = st.usuario_smtp;
    f.password = st.clave_smtp;
    f.domain = st.dominio_smtp;
    f.sender = st.remitente_smtp;
    f.subject = st.motivo_smtp;
    f.recipients = fieldLines(st.destinatarios_smtp);
    f.message = memoLines(ui.Memo_mensaxe);
    f.security = SmtpSecurity(qBound(0, int(st.smtp_seguridade), 2));
    f.trustedCertificates = st.certificados;
    return f;
}

FtpSettings TOrvalla::ftpSettings() const
{
    const Settings &st = m_engines->settings;
    FtpSettings f;
    f.host = st.ftp_hostname;
    f.user = st.ftp_username;
    f.password = st.ftp_clave;
    f.port = st.ftp_port;
    f.localFolder = st.ftp_ruta_local_ficheiro;
    f.remoteFolder = st.ftp_ruta_remota_ficheiro;
    f.fileNames = fieldLines(st.ftp_nome_ficheiro);
    f.passive = st.ftp_pasivo;
    f.explicitTls = st.ftp_seguridade == 1;
    f.trustedCertificates = st.certificados;
    return f;
}

void TOrvalla::openWorkbook()
{
    // Folder and name run together as typed; nothing happens when already open.
    const Settings &st = m_engines->settings;
    m_engines->workbook.open(st.excel_ruta_ficheiro, st.excel_nome_ficheiro);
}

void TOrvalla::closeWorkbook()
{
    // Saves the workbook and quits the application.
    m_engines->workbook.close();
}

void TOrvalla::createCaptureConfig()
{
    // The webcam holds the capture configuration; the camera is not ready
    // until InitVideo succeeds.
    m_engines->captureConfig = true;
}

void TOrvalla::destroyCaptureConfig()
{
    // No shot may write pictures after the window has closed.
    m_engines->webcam->Button_finaliza_videoClick();
    m_engines->captureConfig = false;
}

void TOrvalla::InitVideo()
{
    m_engines->webcam->InitVideo();
    const bool ready = m_engines->webcam->cameraReady();
    ui.Label_video_estado->setText(ready ? QString() : QString::fromUtf8(kNoCameraText));
    if (!ready)
        qCWarning(lcWebcam) << "no camera found; webcam shots are off until one is initialised";
}

void TOrvalla::ApplyMailSettings()
{
    m_engines->mail->ApplyMailSettings(mailFields());
}

void TOrvalla::ApplyFtpSettings()
{
    m_engines->ftp.setSettings(ftpSettings());
    m_engines->ftp.ApplyFtpSettings();
}

} // namespace orvalla
