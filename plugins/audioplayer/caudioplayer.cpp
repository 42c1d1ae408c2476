#include "plugins/audioplayer/caudioplayer.h"

#include "app/pathsmanager.h"
#include "bridge/constants.h"

#include <QLoggingCategory>
#include <QMetaEnum>
#include <QUrl>

#include <cmath>

Q_LOGGING_CATEGORY(lcAudioPlayer, "AudioPlayer")

using Constants::callback;
using Constants::key;
namespace JSInvoke = Constants::JSInvoke;
namespace Other = Constants::Other;

using Task::answer;
using Task::failure;

CAudioPlayer::CAudioPlayer()
{
    connect(this, &CAudioPlayer::statusChanged, this, [this](const QString &property,
                                                             const QVariant &value) {
        m_call.notify(answer(JSInvoke::mediaStatusChanged, m_call.payload({{property, value}})));
    });
}

// Created on first use: the media back end (and its first-run plug-in scan)
// costs nothing at start-up for a page that never plays anything.
QMediaPlayer *CAudioPlayer::player()
{
    if (m_player)
        return m_player;
    m_player = new QMediaPlayer(this);
    Task::relayStatus(this, m_player, &QMediaPlayer::positionChanged, Other::position);
    Task::relayStatus(this, m_player, &QMediaPlayer::durationChanged, Other::duration);
    Task::relayStatus(this, m_player, &QMediaPlayer::seekableChanged, Other::isSeekable);
    Task::relayStatus(this, m_player, &QMediaPlayer::bufferStatusChanged, Other::bufferStatus);
    Task::relayStatus(this, m_player, &QMediaPlayer::volumeChanged, Other::volume);
    Task::relayStatus(this, m_player, &QMediaPlayer::mutedChanged, Other::muted);
    Task::relayStatus(this, m_player, &QMediaPlayer::mediaStatusChanged, Other::status);
    connect(m_player, &QMediaPlayer::currentMediaChanged, this,
            &CAudioPlayer::onCurrentMediaChanged);
    Task::relayStatus(this, m_player, &QMediaPlayer::playbackRateChanged, Other::playbackRate);
    Task::relayStatus(this, m_player, &QMediaPlayer::notifyIntervalChanged, Other::notifyInterval);
    connect(m_player, &QMediaPlayer::stateChanged, this, &CAudioPlayer::onStateChanged);
    connect(m_player, QOverload<QMediaPlayer::Error>::of(&QMediaPlayer::error), this,
            &CAudioPlayer::onError);
    return m_player;
}

CAudioPlayer::~CAudioPlayer()
{
    // The player's last signals must not reach a half-destroyed plugin.
    if (m_player)
        m_player->disconnect(this);
}

bool CAudioPlayer::relativelyEqual(double a, double b)
{
    return std::fabs(a - b) * 1000000000000.0 <= qMin(std::fabs(a), std::fabs(b));
}

void CAudioPlayer::onCurrentMediaChanged(const QMediaContent &media)
{
    emit statusChanged(key(Other::currentMedia), media.request().url().toString());
}

QVariantMap CAudioPlayer::mediaUrls()
{
    return {{key(Other::currentMedia), player()->currentMedia().request().url().toString()},
            {key(Other::media), player()->media().request().url().toString()}};
}

void CAudioPlayer::onStateChanged(QMediaPlayer::State state)
{
    const QMediaPlayer::State last = m_lastState;
    if (state == QMediaPlayer::PlayingState && last == QMediaPlayer::StoppedState && m_call)
        m_call.notify(answer(JSInvoke::playMediaStarted,
                             m_call.payload({{key(Other::currentMedia),
                                              mediaUrls().value(key(Other::currentMedia))}})));
    emit statusChanged(key(Other::state), int(state));
    if (last != QMediaPlayer::StoppedState && state == QMediaPlayer::StoppedState) {
        // Media that turned out unplayable may stop the player before its
        // error is signalled: that is a failure, not the end of a playback.
        if (player()->mediaStatus() == QMediaPlayer::InvalidMedia) {
            onError(player()->error() != QMediaPlayer::NoError ? player()->error()
                                                               : QMediaPlayer::FormatError);
        } else {
            // The end of the playback ends the call: the bridge then releases it.
            m_call.end(answer(JSInvoke::playMediaDone, m_call.payload(mediaUrls())));
        }
    }
    m_lastState = state;
}

void CAudioPlayer::onError(QMediaPlayer::Error error)
{
    const QMetaEnum errors = QMediaPlayer::staticMetaObject.enumerator(
        QMediaPlayer::staticMetaObject.indexOfEnumerator("Error"));
    qCWarning(lcAudioPlayer).noquote()
        << QStringLiteral("QMediaPlayer::%1").arg(QLatin1String(errors.valueToKey(error)))
        << player()->errorString() << m_call.uuid();
    failCall(error, player()->errorString().isEmpty()
                        ? QStringLiteral("The media cannot be played.")
                        : player()->errorString());
}

void CAudioPlayer::failCall(QMediaPlayer::Error error, const QString &errorString)
{
    QVariantMap data = m_call.payload(mediaUrls());
    data.insert(key(Other::code), int(error));
    data.insert(key(Other::errorString), errorString);
    m_call.end(failure(JSInvoke::playMediaError, data));
}

QSharedPointer<Task::ITask> CAudioPlayer::playMedia(const QString &uuid, const QString &url)
{
    return Task::onThread(this, [this, uuid, url](const QSharedPointer<Task::CTask> &task) {
        // Stopping reports playMediaDone to the call that owned an active
        // playback; a call whose media never started ends here the same way.
        player()->stop();
        m_call.handOver(task, uuid, answer(JSInvoke::playMediaDone, m_call.payload(mediaUrls())));
        const QString contents =
            PathsManager::instance()->get(Constants::PathManager::contentsPath);
        const QUrl media = QUrl::fromUserInput(url, contents, QUrl::AssumeLocalFile);
        player()->setMedia(media);
        // Without media the player neither plays nor fails: the call would
        // wait forever.
        if (media.isEmpty())
            failCall(QMediaPlayer::ResourceError, QStringLiteral("No media given."));
        // An error while loading may already have ended the call.
        if (m_call.is(task))
            player()->play();
    });
}

QSharedPointer<Task::ITask> CAudioPlayer::mediaStatus()
{
    return Task::onThread(this, [this](const QSharedPointer<Task::CTask> &task) {
        QVariantMap data = mediaUrls();
        data.insert(key(Other::position), player()->position());
        data.insert(key(Other::duration), player()->duration());
        data.insert(key(Other::bufferStatus), player()->bufferStatus());
        data.insert(key(Other::state), int(player()->state()));
        data.insert(key(Other::mediaStatus), int(player()->mediaStatus()));
        data.insert(key(Other::volume), player()->volume());
        data.insert(key(Other::isMuted), player()->isMuted());
        data.insert(key(Other::playbackRate), player()->playbackRate());
        data.insert(key(Other::isSeekable), player()->isSeekable());
        data.insert(key(Other::notifyInterval), player()->notifyInterval());
        task->resolve(answer(JSInvoke::mediaStatusDone, data));
    });
}

QSharedPointer<Task::ITask> CAudioPlayer::setMediaStatus(const QVariantMap &status)
{
    return Task::onThread(this, [this, status](const QSharedPointer<Task::CTask> &task) {
        QMediaPlayer *p = player();
        auto has = [&status](Other::_Other k) { return status.contains(key(k)); };
        auto value = [&status](Other::_Other k) { return status.value(key(k)); };
        bool ok = Task::applyState(p, status, &QMediaPlayer::play);
        if (ok && has(Other::playbackRate)) {
            const double rate = value(Other::playbackRate).toDouble(&ok);
            if (ok) {
                p->setPlaybackRate(rate);
                ok = relativelyEqual(p->playbackRate(), rate);
            }
        }
        if (ok && has(Other::volume)) {
            const int volume = value(Other::volume).toInt(&ok);
            if (ok) {
                p->setVolume(volume);
                ok = p->volume() == volume;
            }
        }
        ok = ok && Task::applyMuted(p, status);
        if (ok && has(Other::position)) {
            const qint64 position = value(Other::position).toLongLong(&ok);
            if (ok) {
                p->setPosition(position);
                ok = p->position() == position;
            }
        }
        if (ok && has(Other::notifyInterval)) {
            const int interval = value(Other::notifyInterval).toInt(&ok);
            if (ok) {
                p->setNotifyInterval(interval);
                ok = p->notifyInterval() == interval;
            }
        }
        if (ok)
            task->resolve(answer(JSInvoke::setMediaStatusDone));
        else
            task->reject(failure(JSInvoke::setMediaStatusError));
    });
}
