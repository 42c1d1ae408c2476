// The media module's root object: makes the services that need Qt
// Multimedia. Built as tamberlin-media.so beside the program, and as a static
// plugin for the tests that drive these services through the dispatcher.

#include "bridge/mediaplugins.h"
#include "plugins/audioplayer/caudioplayer.h"
#include "plugins/audiorecorder/caudiorecorder.h"
#include "plugins/camera/ccamera.h"

#include <QObject>

class MediaFactory : public QObject, public IMediaFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID IMediaFactory_iid)
    Q_INTERFACES(IMediaFactory)
public:
    IAudioPlayer *createAudioPlayer() override { return new CAudioPlayer; }
    IAudioRecorder *createAudioRecorder() override { return new CAudioRecorder; }
    ICamera *createCamera() override { return new CCamera; }
};

#include "mediamodule.moc"
