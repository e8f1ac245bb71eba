#pragma once

#include "app/orvalla_form.h"
#include "common/clock.h"
#include "console/clock_tick.h"
#include "excel/automation.h"
#include "publish/feed_files.h"
#include "station/reading.h"
#include "webcam/videocapture.h"

#include <QMainWindow>

#include <memory>

class QKeyEvent;
class QPlainTextEdit;
class QTimer;

namespace orvalla
{

class ExcelWorkbook;
class MessageSink;
class Webcam;
struct FtpSettings;
struct MailFields;
struct TOrvallaEngines;

// What the window talks to outside the process, replaceable for tests.
struct TOrvallaOptions {
    // The server behind "Excel.Application"; null: defaultAutomationServer().
    std::shared_ptr<AutomationServer> automation;
    // The capture layer of the "Vídeo" tab; null: the camera through Qt Multimedia.
    std::unique_ptr<TVideoCapture> capture;
    // How long a close waits for a running workbook call before giving it up.
    int workbookCloseWaitMs = 60000;
};

// The main window: owns every engine, the settings and the runtime state for
// the life of the process. The settings follow the fields as they change
// (settings_fields.h); the handlers pass them to the logic classes, call them
// and show the results.
class TOrvalla : public QMainWindow, private ClockTickHooks
{
    Q_OBJECT

public:
    // clock: the one source of "now" (tests pass a ManualClock). sink: where
    // modal messages go (null: message boxes). The start-up sequence runs here.
    explicit TOrvalla(const Clock &clock, MessageSink *sink = nullptr, QWidget *parent = nullptr);
    TOrvalla(const Clock &clock, MessageSink *sink, TOrvallaOptions options, QWidget *parent = nullptr);
    ~TOrvalla() override;

    const OrvallaForm &form() const { return ui; }
    ClockTick &clockTick() { return m_tick; }
    ExcelWorkbook &workbook();
    Webcam &webcam();
    const Reading &reading() const { return m_reading; }
    QString systemId() const;
    bool receptionActiveFlag() const;

    // Start-up and shutdown sequences.
    void FormCreate();
    void FormClose();

    // The clock tick (Timer_reloxo).
    void Timer_reloxoTimer() { m_tick.Timer_reloxoTimer(); }

    // Handlers of the clock tick's check boxes.
    void CheckBox_correo_autoClick();
    void CheckBox_ftp_autoClick();
    void CheckBox_correo_pendenteClick();
    // Enter in one of the three calibration fields.
    void Edit_param_KeyPress(QKeyEvent *event);

    // Station link.
    void Button_ft_abrirClick();
    void Button_ft_pecharClick();
    // Recording.
    void Button_serie_clearClick();
    // Publishing, mail, web and the other tabs.
    void Button_serie_copiarClick();
    void Button_actualiza_htmClick();
    void CheckBox_http_activoClick();
    void CheckBox_excel_activoClick();
    void Button_excel_actualizarClick();
    void Button_ftp_transmit2Click();
    void Button_smtp_transmit2Click();
    void Button_configura_videoClick();
    // The file chooser of "certificados de confianza:".
    void Button_certificadosClick();

    // One decoded reading: mail queue, daily data file, screen fields.
    void readingDecoded(const Reading &reading, const QByteArray &line);

    // A failure the operator should notice without a modal box: status line and log.
    void reportFailure(const QString &text);

    // The "Gráficas" tab from the archive: drawn now when it is shown, else
    // when it is next opened.
    void refreshCharts();

    // The workbook (Excel tab) and the webcam (Vídeo tab) as the start-up,
    // the tick and the buttons use them.
    void openWorkbook();
    void closeWorkbook();
    void createCaptureConfig();
    void destroyCaptureConfig();
    void InitVideo();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // ClockTickHooks
    bool mailAuto() const override;
    bool ftpAuto() const override;
    bool webcamAuto() const override;
    bool receptionActive() const override;
    std::int32_t mailTime() const override;
    std::int32_t ftpInterval() const override;
    std::int32_t logInterval() const override;
    const Reading &currentReading() const override { return m_reading; }
    QByteArray minuteTableLine(int minuteOfDay) const override;
    std::int32_t &tickDivider() override;
    void showClock(const ClockFields &c) override;
    void setMailPendingBox(bool checked) override;
    void appendIntervalRecord(const QByteArray &record) override;
    void startWebcamShot() override;
    void sendReportMail(const ClockFields &c) override;
    void showFtpRemaining(std::int32_t seconds) override;
    void abortFtpIfConnected() override;
    void updateHtmlPage() override;
    void updateWorkbook() override;
    void writeFeedFiles() override;
    void startUploadBatch() override;
    void pollLink() override;
    void updateDailyExtremes() override;
    void stepFailed(const QString &step, const QString &what) override;

    void runUploadBatch(bool automatic);
    void showBatchOutcome(bool automatic);
    void connectHandlers();
    void connectWorkbook();
    void connectWebcam();
    void showVideoView();
    void LoadSettings();
    void SaveSettings();
    void switchLoaded(int which, bool checked);
    ReadingScreenTexts screenTexts() const;
    void message(const QString &text);
    void deviceOpen();
    void showReading();
    void showStatistics();
    void emptyStatistics();
    void settingsToScreen();
    void ApplyMailSettings();
    void ApplyFtpSettings();
    LocalTime clockLocalTime() const;
    MailFields mailFields() const;
    FtpSettings ftpSettings() const;
    // A memo's lines; an empty memo has none.
    static QStringList memoLines(const QPlainTextEdit *memo);

    OrvallaForm ui;
    const Clock &m_clock;
    MessageSink *m_sink;
    std::unique_ptr<MessageSink> m_ownSink;
    ClockTick m_tick;
    Reading m_reading;
    std::unique_ptr<TOrvallaEngines> m_engines;
    bool m_created = false;
    bool m_closed = false;
    // Runs while a close waits for a workbook call to end.
    QTimer *m_closeWait = nullptr;
    bool m_closeGaveUp = false;
    bool m_chartsStale = true;
    // While meteo.cfg is applied, the switch actions that need later keys wait
    // for them: the HTTP server for its folder, the workbook for the whole file.
    bool m_loadingSettings = false;
    bool m_workbookOpenPending = false;
};

} // namespace orvalla
