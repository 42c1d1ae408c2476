#pragma once

#include "bridge/mediaplugins.h"
#include "bridge/owningcall.h"

#include <QMediaPlayer>
#include <QSharedPointer>
#include <QVariant>
#include <QVariantMap>

// Plays one media item at a time for the page and reports the player's
// changes as notifications of the playMedia call that owns the playback.
//
// Every call on the player happens in the thread that owns the plugin. A
// call owns the playback from its start until it has reported playMediaDone
// or playMediaError; only the owner hears of the player's changes, so an
// earlier call never receives a later playback's notifications.
class CAudioPlayer : public IAudioPlayer
{
    Q_OBJECT
public:
    CAudioPlayer();
    ~CAudioPlayer() override;

    // Nothing to initialise: the player is made on its first use.
    QSharedPointer<Task::ITask> initialize() override { return {}; }

    // url: a full URL, or a path; relative paths are files under the
    // contents folder. A new call stops the current playback first.
    QSharedPointer<Task::ITask> playMedia(const QString &uuid, const QString &url) override;
    QSharedPointer<Task::ITask> mediaStatus() override;
    // Keys applied in a fixed order, each checked right after it is set;
    // the first that does not take ends the call (earlier ones stay).
    QSharedPointer<Task::ITask> setMediaStatus(const QVariantMap &status) override;

    QMediaPlayer *player();

    // Equal when the difference is negligible against the smaller value.
    static bool relativelyEqual(double a, double b);

signals:
    void statusChanged(QString property, QVariant value);

private slots:
    void onCurrentMediaChanged(const QMediaContent &media);

private:
    void onStateChanged(QMediaPlayer::State state);
    void onError(QMediaPlayer::Error error);
    QVariantMap mediaUrls();
    void failCall(QMediaPlayer::Error error, const QString &errorString);

    QMediaPlayer *m_player = nullptr;
    QMediaPlayer::State m_lastState = QMediaPlayer::StoppedState;
    Task::OwningCall m_call;
};
