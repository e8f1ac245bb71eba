#pragma once

#include "webcam/graphconfig.h"

#include <QImage>
#include <QObject>
#include <QStringList>

class QWidget;

namespace orvalla
{

// The capture control as the program uses it: the operations and events the
// webcam shots and the settings dialog rely on. QtVideoCapture is the real one;
// tests put a fake camera in its place.
class TVideoCapture : public QObject
{
    Q_OBJECT

public:
    // The property dialogs a capture device may offer, by kind 0..13.
    static constexpr int DialogKindCount = 14;
    static QString DialogTitles(int kind);

    using QObject::QObject;

    // Sets up the capture device from the control's current settings;
    // false when no capture device could be set up.
    virtual bool Init() = 0;
    // Copies the control's current settings (devices and modes included) into config.
    virtual void SaveGraph(TGraphConfig &config) const = 0;
    // Rebuilds the capture from config; raises changeDevice().
    virtual void RestoreGraph(const TGraphConfig &config) = 0;

    // Live picture on; raises previewStarted() once the picture runs.
    virtual void StartPreview() = 0;
    virtual void StopPreview() = 0;
    virtual void StopCapture() = 0;
    // Asks for one picture; false when the grab cannot be started. The picture
    // arrives later through bitmapGrabbed().
    virtual bool CaptureFrame() = 0;

    virtual VideoMode GetVCapMode() const = 0;
    virtual AudioMode GetACapMode() const = 0;
    virtual int GetVCapModeCount() const = 0;
    virtual int GetACapModeCount() const = 0;
    virtual VideoMode GetVCapModes(int index) const = 0;
    virtual AudioMode GetACapModes(int index) const = 0;
    virtual void SetVCapMode(int index) = 0;
    virtual void SetACapMode(int index) = 0;
    // Index of the current mode in the list, -1 when it is not listed.
    virtual int GetVCapModeIdx() const = 0;
    virtual int GetACapModeIdx() const = 0;

    // Whether the current device offers the property dialog of this kind.
    virtual bool DialogAvailable(int kind) const = 0;

    virtual QStringList GetVideoDevicesList() const = 0;
    virtual QStringList GetAudioDevicesList() const = 0;
    virtual QStringList GetVideoCompressorsList() const = 0;
    virtual QStringList GetAudioCompressorsList() const = 0;

    // The widget showing the live picture (none for a control without one);
    // the window places it on its tab.
    virtual QWidget *previewWidget() { return nullptr; }

Q_SIGNALS:
    void changeDevice();
    void previewStarted();
    void bitmapGrabbed(const QImage &picture);
};

} // namespace orvalla
