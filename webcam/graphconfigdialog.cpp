#include "webcam/graphconfigdialog.h"

#include "webcam/videocapture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QVBoxLayout>

namespace orvalla
{

namespace
{

QComboBox *makeList(QWidget *parent, const char *name)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

// The dependent controls are enabled exactly while the box is ticked.
void enableWhileTicked(QCheckBox *box, std::initializer_list<QWidget *> dependents)
{
    QList<QWidget *> list(dependents);
    QObject::connect(box, &QCheckBox::stateChanged, box, [list](int state) {
        for (QWidget *w : list)
            w->setEnabled(state == Qt::Checked);
    });
}

// Sets a box from the settings; it was grayed, so its rule always runs. Afterwards
// the operator's clicks only tick and clear it.
void setTicked(QCheckBox *box, bool ticked)
{
    box->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
    box->setTristate(false);
}

} // namespace

QCheckBox *TFGraphConfig::makeCheckBox(const char *name, const QString &caption)
{
    auto *box = new QCheckBox(caption, this);
    box->setObjectName(QString::fromLatin1(name));
    box->setTristate(true);
    box->setCheckState(Qt::PartiallyChecked);
    return box;
}

TFGraphConfig::TFGraphConfig(const TVideoCapture &capture, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("FGraphConfig"));
    setWindowTitle(QStringLiteral("Capture graph configuration"));
    setModal(true);

    cbVSources = makeList(this, "cbVSources");
    cbASources = makeList(this, "cbASources");
    cbVComps = makeList(this, "cbVComps");
    cbAComps = makeList(this, "cbAComps");
    cbVComp = makeCheckBox("cbVComp", QStringLiteral("Video"));
    cbAComp = makeCheckBox("cbAComp", QStringLiteral("Audio"));
    cbWantPreview = makeCheckBox("cbWantPreview", QStringLiteral("WantPreview"));
    cbWantCapture = makeCheckBox("cbWantCapture", QStringLiteral("WantCapture"));
    cbWantBitmaps = makeCheckBox("cbWantBitmaps", QStringLiteral("WantBitmaps"));
    cbWantDVAudio = makeCheckBox("cbWantDVAudio", QStringLiteral("WantDVAudio"));
    cbWantAudio = makeCheckBox("cbWantAudio", QStringLiteral("WantAudio"));
    cbDoPreallocCaptureFile = makeCheckBox("cbDoPreallocCaptureFile", QStringLiteral("PreallocCaptureFile"));
    cbUseTempFile = makeCheckBox("cbUseTempFile", QStringLiteral("UseTempFile"));
    feCaptureFile = new QLineEdit(QStringLiteral("Capture.avi"), this);
    feCaptureFile->setObjectName(QStringLiteral("feCaptureFile"));
    feTempFile = new QLineEdit(QStringLiteral("CapTemp.avi"), this);
    feTempFile->setObjectName(QStringLiteral("feTempFile"));
    sePreallocSize = new QSpinBox(this);
    sePreallocSize->setObjectName(QStringLiteral("sePreallocSize"));
    sePreallocSize->setRange(0, 999999);
    cbDVResolution = makeList(this, "cbDVResolution");
    cbDVResolution->addItems({ QStringLiteral("dont worry"), QStringLiteral("Full"), QStringLiteral("Half"),
        QStringLiteral("Quater"), QStringLiteral("DC") });
    cbPixelFormat = makeList(this, "cbPixelFormat");
    cbPixelFormat->addItems({ QStringLiteral("pfDevice"), QStringLiteral("pf1bit"), QStringLiteral("pf4bit"),
        QStringLiteral("pf8bit"), QStringLiteral("pf15bit"), QStringLiteral("pf16bit"),
        QStringLiteral("pf24bit"), QStringLiteral("pf32bit"), QStringLiteral("pfCustom") });
    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    // FormCreate: the lists as the capture control gives them.
    cbVSources->addItems(capture.GetVideoDevicesList());
    cbASources->addItems(capture.GetAudioDevicesList());
    cbVComps->addItems(capture.GetVideoCompressorsList());
    cbAComps->addItems(capture.GetAudioCompressorsList());

    enableWhileTicked(cbWantPreview, { cbWantBitmaps });
    enableWhileTicked(cbWantAudio, { cbASources });
    enableWhileTicked(cbWantCapture, { feCaptureFile, cbDoPreallocCaptureFile, cbUseTempFile });
    enableWhileTicked(cbUseTempFile, { feTempFile });
    enableWhileTicked(cbDoPreallocCaptureFile, { sePreallocSize });
    enableWhileTicked(cbVComp, { cbVComps });

    auto label = [this](const char *text) { return new QLabel(QString::fromLatin1(text), this); };

    auto *sources = new QGroupBox(QStringLiteral(" Capture Sources "), this);
    auto *sourcesLayout = new QGridLayout(sources);
    sourcesLayout->addWidget(label("Video"), 0, 0);
    sourcesLayout->addWidget(cbVSources, 0, 1);
    sourcesLayout->addWidget(label("Audio"), 1, 0);
    sourcesLayout->addWidget(cbASources, 1, 1);
    sourcesLayout->setColumnStretch(1, 1);

    auto *compressors = new QGroupBox(QStringLiteral(" Compressors "), this);
    auto *compressorsLayout = new QGridLayout(compressors);
    compressorsLayout->addWidget(cbVComp, 0, 0);
    compressorsLayout->addWidget(cbVComps, 0, 1);
    compressorsLayout->addWidget(cbAComp, 1, 0);
    compressorsLayout->addWidget(cbAComps, 1, 1);
    compressorsLayout->setColumnStretch(1, 1);

    auto *options = new QGridLayout;
    options->addWidget(cbWantPreview, 0, 0);
    options->addWidget(cbWantCapture, 0, 1);
    options->addWidget(cbWantBitmaps, 1, 0);
    options->addWidget(cbWantDVAudio, 1, 1);
    options->addWidget(cbWantAudio, 2, 0);
    options->addWidget(cbDoPreallocCaptureFile, 2, 1);
    options->addWidget(cbUseTempFile, 3, 0);

    auto *files = new QGridLayout;
    files->addWidget(label("CaptureFileName"), 0, 0);
    files->addWidget(feCaptureFile, 0, 1, 1, 2);
    files->addWidget(label("TempCaptureFileName"), 1, 0);
    files->addWidget(feTempFile, 1, 1, 1, 2);
    files->addWidget(label("Prealloc file size"), 2, 0);
    files->addWidget(sePreallocSize, 2, 1);
    files->addWidget(label("Mb"), 2, 2);
    files->addWidget(label("DV Resolution"), 3, 0);
    files->addWidget(cbDVResolution, 3, 1, 1, 2);
    files->addWidget(label("BitmapPixelFormat"), 4, 0);
    files->addWidget(cbPixelFormat, 4, 1, 1, 2);
    files->setColumnStretch(1, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(sources);
    layout->addWidget(compressors);
    layout->addLayout(options);
    layout->addLayout(files);
    layout->addLayout(buttons);
}

void TFGraphConfig::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (const QScreen *s = screen())
        move(s->availableGeometry().center() - rect().center());
}

void TFGraphConfig::loadFrom(const TGraphConfig &config)
{
    setTicked(cbWantPreview, config.WantPreview);
    setTicked(cbWantCapture, config.WantCapture);
    setTicked(cbWantBitmaps, config.WantBitmaps);
    setTicked(cbWantDVAudio, config.WantDVAudio);
    setTicked(cbWantAudio, config.WantAudio);
    setTicked(cbDoPreallocCaptureFile, config.DoPreallocFile);
    setTicked(cbUseTempFile, config.UseTempFile);
    setTicked(cbVComp, true);
    setTicked(cbAComp, true);

    feCaptureFile->setText(config.CaptureFileName);
    feTempFile->setText(config.TempCaptureFileName);
    cbDVResolution->setCurrentIndex(config.DVResolution < cbDVResolution->count() ? config.DVResolution : -1);
    cbPixelFormat->setCurrentIndex(
        config.BitmapPixelFormat < cbPixelFormat->count() ? config.BitmapPixelFormat : -1);
    sePreallocSize->setValue(config.PreallocFileSize);

    // A source that is gone leaves the first device chosen.
    auto chooseSource = [](QComboBox *box, const QString &name) {
        box->setCurrentIndex(box->count() > 0 ? 0 : -1);
        const int found = box->findText(name);
        if (found >= 0)
            box->setCurrentIndex(found);
    };
    chooseSource(cbVSources, config.VideoSource);
    chooseSource(cbASources, config.AudioSource);
    cbVComps->setCurrentIndex(cbVComps->findText(config.VideoCompressor));
    cbAComps->setCurrentIndex(cbAComps->findText(config.AudioCompressor));

    setTicked(cbVComp, cbVComps->currentIndex() >= 0);
    setTicked(cbAComp, cbAComps->currentIndex() >= 0);
}

void TFGraphConfig::storeInto(TGraphConfig &config) const
{
    config.Clear();
    config.WantPreview = cbWantPreview->checkState() == Qt::Checked;
    config.WantCapture = cbWantCapture->checkState() == Qt::Checked;
    config.WantBitmaps = cbWantBitmaps->checkState() == Qt::Checked;
    config.WantDVAudio = cbWantDVAudio->checkState() == Qt::Checked;
    config.WantAudio = cbWantAudio->checkState() == Qt::Checked;
    config.DoPreallocFile = cbDoPreallocCaptureFile->checkState() == Qt::Checked;
    config.UseTempFile = cbUseTempFile->checkState() == Qt::Checked;
    config.PreallocFileSize = sePreallocSize->value();
    config.CaptureFileName = feCaptureFile->text();
    config.TempCaptureFileName = feTempFile->text();
    if (cbDVResolution->currentIndex() >= 0)
        config.DVResolution = cbDVResolution->currentIndex();
    if (cbPixelFormat->currentIndex() >= 0)
        config.BitmapPixelFormat = cbPixelFormat->currentIndex();
    config.VideoSource = cbVSources->currentText();
    config.AudioSource = cbASources->currentText();
    if (cbVComp->checkState() == Qt::Checked)
        config.VideoCompressor = cbVComps->currentText();
    if (cbAComp->checkState() == Qt::Checked)
        config.AudioCompressor = cbAComps->currentText();
    config.CompressorState.clear();
}

bool EditGraphConfig(TGraphConfig &config, const TVideoCapture &capture, QWidget *parent)
{
    TFGraphConfig dialog(capture, parent);
    dialog.loadFrom(config);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    dialog.storeInto(config);
    return true;
}

} // namespace orvalla
