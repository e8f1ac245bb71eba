#pragma once

#include "webcam/graphconfig.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace orvalla
{

class TVideoCapture;

// The capture settings dialog (texts in English). Editing goes through
// EditGraphConfig(); loadFrom() and storeInto() are its two halves.
class TFGraphConfig : public QDialog
{
    Q_OBJECT

public:
    // Fills the source and compressor lists from the capture control.
    explicit TFGraphConfig(const TVideoCapture &capture, QWidget *parent = nullptr);

    // Fills the controls from config; dependent controls follow the check boxes.
    void loadFrom(const TGraphConfig &config);
    // Resets config and writes the dialog into it.
    void storeInto(TGraphConfig &config) const;

    QComboBox *cbVSources;
    QComboBox *cbASources;
    QComboBox *cbVComps;
    QComboBox *cbAComps;
    QCheckBox *cbVComp;
    QCheckBox *cbAComp;
    QCheckBox *cbWantPreview;
    QCheckBox *cbWantCapture;
    QCheckBox *cbWantBitmaps;
    QCheckBox *cbWantDVAudio;
    QCheckBox *cbWantAudio;
    QCheckBox *cbDoPreallocCaptureFile;
    QCheckBox *cbUseTempFile;
    QLineEdit *feCaptureFile;
    QLineEdit *feTempFile;
    QSpinBox *sePreallocSize;
    QComboBox *cbDVResolution;
    QComboBox *cbPixelFormat;
    QPushButton *btnOK;
    QPushButton *btnCancel;

protected:
    void showEvent(QShowEvent *event) override;

private:
    QCheckBox *makeCheckBox(const char *name, const QString &caption);
};

// Shows the dialog filled from config, modally; on OK writes it back and
// returns true. On Cancel config is left exactly as it was.
bool EditGraphConfig(TGraphConfig &config, const TVideoCapture &capture, QWidget *parent = nullptr);

} // namespace orvalla
