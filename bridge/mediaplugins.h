#pragma once

#include "iplugin.h"

#include <QString>
#include <QVariantMap>
#include <QtPlugin>

// The services that need Qt Multimedia: audio playback, audio recording and
// the camera. They live in a module beside the program (tamberlin-media.so)
// that is loaded on the first call of one of them, so that the multimedia
// libraries and their back end are not loaded before the first page shows.
// The dispatcher sees them through these interfaces only.

class IAudioPlayer : public CIdentifiable<IPlugin>
{
public:
    virtual QSharedPointer<Task::ITask> playMedia(const QString &uuid, const QString &url) = 0;
    virtual QSharedPointer<Task::ITask> mediaStatus() = 0;
    virtual QSharedPointer<Task::ITask> setMediaStatus(const QVariantMap &status) = 0;
};

class IAudioRecorder : public CIdentifiable<IPlugin>
{
public:
    virtual QSharedPointer<Task::ITask> recordAudio(const QString &uuid, const QString &url) = 0;
    virtual QSharedPointer<Task::ITask> audioRecordStatus() = 0;
    virtual QSharedPointer<Task::ITask> setAudioRecordStatus(const QVariantMap &status) = 0;
    virtual QSharedPointer<Task::ITask> audioRecordSettings() = 0;
    virtual QSharedPointer<Task::ITask> setAudioRecordSettings(const QVariantMap &settings) = 0;
};

class ICamera : public CIdentifiable<IPlugin>
{
public:
    virtual QSharedPointer<Task::ITask> startCamera() = 0;
    virtual QSharedPointer<Task::ITask> stopCamera() = 0;
    virtual QSharedPointer<Task::ITask> setCameraText(const QString &text) = 0;
};

// The module's root object. Each call makes a new plugin, owned by the caller.
class IMediaFactory
{
public:
    virtual ~IMediaFactory() = default;
    virtual IAudioPlayer *createAudioPlayer() = 0;
    virtual IAudioRecorder *createAudioRecorder() = 0;
    virtual ICamera *createCamera() = 0;
};

#define IMediaFactory_iid "org.tamberlin.MediaFactory/1"
Q_DECLARE_INTERFACE(IMediaFactory, IMediaFactory_iid)

namespace MediaModule {

// The module's file name, looked for in the program's folder.
inline constexpr char fileName[] = "tamberlin-media.so";

// The factory: a static plugin when one is linked in (tests), otherwise the
// module, loaded on the first call. Null, with the reason in *error, when it
// cannot be loaded; the reason is kept and every later call fails alike.
// Main thread only.
IMediaFactory *factory(QString *error);

} // namespace MediaModule
