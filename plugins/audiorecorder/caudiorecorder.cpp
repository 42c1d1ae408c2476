#include "plugins/audiorecorder/caudiorecorder.h"

#include "app/pathsmanager.h"
#include "bridge/constants.h"
#include "plugins/audioplayer/caudioplayer.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QUrl>

#include <utility>

Q_LOGGING_CATEGORY(lcAudioRecorder, "AudioRecorder")

using Constants::callback;
using Constants::key;
namespace JSInvoke = Constants::JSInvoke;
namespace Other = Constants::Other;
using Task::answer;
using Task::failure;

namespace {

QSharedPointer<IResponse> notInitialised(JSInvoke::_JSInvoke name)
{
    return failure(name, {{key(Other::code), Constants::Code::DeviceUnavailable},
                          {key(Other::errorString),
                           QStringLiteral("the audio recorder is not initialised")}});
}

QMultimedia::EncodingQuality qualityOf(const QString &word)
{
    const struct { Other::_Other word; QMultimedia::EncodingQuality quality; } words[] = {
        {Other::verylow, QMultimedia::VeryLowQuality}, {Other::low, QMultimedia::LowQuality},
        {Other::normal, QMultimedia::NormalQuality},   {Other::high, QMultimedia::HighQuality},
        {Other::veryhigh, QMultimedia::VeryHighQuality},
    };
    for (const auto &w : words)
        if (word.compare(key(w.word), Qt::CaseInsensitive) == 0)
            return w.quality;
    qCWarning(lcAudioRecorder) << "Unhandled encoding quality:" << word;
    return QMultimedia::HighQuality;
}

} // namespace

CAudioRecorder::CAudioRecorder() = default;

CAudioRecorder::~CAudioRecorder()
{
    if (m_recorder)
        m_recorder->disconnect(this);
}

void CAudioRecorder::createRecorder()
{
    m_recorder = new QAudioRecorder(this);
    QAudioRecorder *r = m_recorder;
    connect(r, &QMediaRecorder::statusChanged, this, &CAudioRecorder::onStatusChanged);
    Task::relayStatus(this, r, &QMediaRecorder::durationChanged, Other::duration);
    Task::relayStatus(this, r, &QMediaRecorder::volumeChanged, Other::volume);
    Task::relayStatus(this, r, &QMediaRecorder::mutedChanged, Other::muted);
    connect(r, &QAudioRecorder::audioInputChanged, this, &CAudioRecorder::onAudioInputChanged);
    connect(r, &QAudioRecorder::availableAudioInputsChanged, this,
            &CAudioRecorder::onAvailableAudioInputsChanged);
    connect(r, QOverload<bool>::of(&QMediaRecorder::availabilityChanged), this,
            &CAudioRecorder::onAvailabilityChanged);
    connect(r, &QMediaRecorder::stateChanged, this, &CAudioRecorder::onStateChanged);
    connect(r, QOverload<QMediaRecorder::Error>::of(&QMediaRecorder::error), this,
            &CAudioRecorder::onError);
    m_nextDeadline = new QTimer(this);
    m_nextDeadline->setSingleShot(true);
    m_nextDeadline->setInterval(10000);
    connect(m_nextDeadline, &QTimer::timeout, this, [this] {
        qCWarning(lcAudioRecorder) << "the recording before" << m_next.uuid << "did not finish";
        const Next next = std::exchange(m_next, {});
        next.task->reject(failure(JSInvoke::recordAudioError,
                                  {{key(Other::uuid), next.uuid}, {key(Other::code), -1},
                                   {key(Other::errorString),
                                    QStringLiteral("the recording before did not finish")}}));
    });
}

QSharedPointer<Task::ITask> CAudioRecorder::initialize()
{
    return Task::onStart(this, [this](const QSharedPointer<Task::CTask> &t) {
        if (m_recorder) {
            t->reject(failure(JSInvoke::initializePluginFail,
                              {{key(Other::code), Constants::Code::DeviceUnavailable}}));
            return;
        }
        createRecorder();
        connect(this, &CAudioRecorder::statusChanged, this,
                [this](const QString &property, const QVariant &value) {
                    m_call.notify(answer(JSInvoke::audioRecordStatusChanged,
                                         m_call.payload({{property, value}})));
                });
        t->resolve(answer(JSInvoke::initializePluginDone));
    });
}

void CAudioRecorder::onStatusChanged(QMediaRecorder::Status s)
{
    emit statusChanged(key(Other::status), int(s));
    if (m_done && s != QMediaRecorder::FinalizingStatus)
        endCall(m_done);
    scheduleNext();
}

void CAudioRecorder::scheduleNext()
{
    // From the event loop: a recorder restarted inside one of its own signals
    // drops the state change it is about to emit.
    auto idle = [this] {
        return m_next.task && !m_done
            && m_lastState == QMediaRecorder::StoppedState
            && m_recorder->status() != QMediaRecorder::FinalizingStatus;
    };
    if (idle())
        QMetaObject::invokeMethod(this, [this, idle] {
            if (idle())
                startNext();
        }, Qt::QueuedConnection);
}

void CAudioRecorder::onAudioInputChanged(const QString &name)
{
    emit settingsChanged(key(Other::audioInput), name);
}

void CAudioRecorder::onAvailableAudioInputsChanged()
{
    emit settingsChanged(key(Other::audioInputs), m_recorder->audioInputs());
}

void CAudioRecorder::onAvailabilityChanged(bool available)
{
    emit settingsChanged(key(Other::isAvailable), available);
}

QString CAudioRecorder::outputLocation() const
{
    return m_recorder ? m_recorder->outputLocation().toString() : QString();
}

void CAudioRecorder::endCall(QSharedPointer<IResponse> response)
{
    m_done.clear();
    m_call.end(response);
}

void CAudioRecorder::onStateChanged(QMediaRecorder::State state)
{
    const QMediaRecorder::State last = m_lastState;
    const QVariantMap where = m_call.payload({{key(Other::outputLocation), outputLocation()}});
    if (state == QMediaRecorder::RecordingState && last == QMediaRecorder::StoppedState)
        m_call.notify(answer(JSInvoke::recordAudioStarted, where));
    emit statusChanged(key(Other::state), int(state));
    if (last != QMediaRecorder::StoppedState && state == QMediaRecorder::StoppedState && m_call) {
        // The file is still being written while the recorder finalises.
        m_done = answer(JSInvoke::recordAudioDone, where);
        if (m_recorder->status() != QMediaRecorder::FinalizingStatus)
            endCall(m_done);
    }
    m_lastState = state;
    scheduleNext();
}

void CAudioRecorder::onError(QMediaRecorder::Error error)
{
    const QMetaEnum errors = QMediaRecorder::staticMetaObject.enumerator(
        QMediaRecorder::staticMetaObject.indexOfEnumerator("Error"));
    qCWarning(lcAudioRecorder).noquote()
        << QStringLiteral("QMediaRecorder::%1").arg(QLatin1String(errors.valueToKey(error)))
        << m_recorder->errorString() << m_call.uuid();
    endCall(failure(JSInvoke::recordAudioError,
                    m_call.payload({{key(Other::code), int(error)},
                                    {key(Other::errorString), m_recorder->errorString()},
                                    {key(Other::outputLocation), outputLocation()}})));
}

QSharedPointer<Task::ITask> CAudioRecorder::recordAudio(const QString &uuid, const QString &url)
{
    return Task::onThread(this, [this, uuid, url](const QSharedPointer<Task::CTask> &task) {
        if (!m_recorder) {
            task->reject(notInitialised(JSInvoke::recordAudioError));
            return;
        }
        // A call still waiting for its turn never recorded: the newer one replaces it.
        if (m_next.task)
            m_next.task->reject(failure(
                JSInvoke::recordAudioError,
                {{key(Other::uuid), m_next.uuid}, {key(Other::code), -1},
                 {key(Other::errorString), QStringLiteral("replaced by a later recordAudio")}}));
        m_next = {task, uuid, url};
        m_nextDeadline->start();
        m_recorder->stop();
        scheduleNext(); // or the recorder's signals once the take before is finished
    });
}

void CAudioRecorder::startNext()
{
    m_nextDeadline->stop();
    const Next next = std::exchange(m_next, {});
    // A call whose recording never ran has nothing more to wait for.
    m_done.clear();
    m_call.handOver(next.task, next.uuid,
                    answer(JSInvoke::recordAudioDone,
                           m_call.payload({{key(Other::outputLocation), outputLocation()}})));
    const QString contents = PathsManager::instance()->get(Constants::PathManager::contentsPath);
    const QUrl location = QUrl::fromUserInput(next.url, contents, QUrl::AssumeLocalFile);
    // A recording into a folder that does not exist yet would fail late.
    if (location.isLocalFile())
        QDir().mkpath(QFileInfo(location.toLocalFile()).absolutePath());
    m_recorder->setOutputLocation(location);
    if (m_call.is(next.task))
        m_recorder->record();
}

QSharedPointer<Task::ITask> CAudioRecorder::audioRecordStatus()
{
    return Task::onThread(this, [this](const QSharedPointer<Task::CTask> &task) {
        QAudioRecorder *r = m_recorder;
        task->resolve(answer(JSInvoke::audioRecordStatusDone,
                             {{key(Other::duration), r ? r->duration() : qint64(0)},
                              {key(Other::state), r ? int(r->state()) : 0},
                              {key(Other::status), r ? int(r->status()) : 0},
                              {key(Other::volume), r ? r->volume() : 0.0},
                              {key(Other::isMuted), r ? r->isMuted() : false},
                              {key(Other::outputLocation), outputLocation()}}));
    });
}

QSharedPointer<Task::ITask> CAudioRecorder::audioRecordSettings()
{
    return Task::onThread(this, [this](const QSharedPointer<Task::CTask> &task) {
        QAudioRecorder *r = m_recorder;
        QStringList codecs, codecDescriptions, containers, containerDescriptions, inputs,
            inputDescriptions;
        if (r) {
            codecs = r->supportedAudioCodecs();
            for (const QString &c : codecs)
                codecDescriptions.append(r->audioCodecDescription(c));
            containers = r->supportedContainers();
            for (const QString &c : containers)
                containerDescriptions.append(r->containerDescription(c));
            inputs = r->audioInputs();
            for (const QString &i : inputs)
                inputDescriptions.append(r->audioInputDescription(i));
        }
        task->resolve(answer(
            JSInvoke::audioRecordSettingsDone,
            {{key(Other::defaultAudioInput), r ? r->defaultAudioInput() : QString()},
             {key(Other::audioInput), r ? r->audioInput() : QString()},
             {key(Other::codec), r ? r->audioSettings().codec() : QString()},
             {key(Other::container), r ? r->containerFormat() : QString()},
             {key(Other::isAvailable), r ? r->isAvailable() : false},
             {key(Other::codecs), codecs},
             {key(Other::codecDescriptions), codecDescriptions},
             {key(Other::containers), containers},
             {key(Other::containerDescriptions), containerDescriptions},
             {key(Other::audioInputs), inputs},
             {key(Other::audioInputsDescriptions), inputDescriptions}}));
    });
}

QSharedPointer<Task::ITask> CAudioRecorder::setAudioRecordSettings(const QVariantMap &settings)
{
    return Task::onThread(this, [this, settings](const QSharedPointer<Task::CTask> &task) {
        if (!m_recorder) {
            task->reject(notInitialised(JSInvoke::setAudioRecordSettingsError));
            return;
        }
        // This call's own subscription: it ends with the call.
        const QMetaObject::Connection forward = connect(
            this, &CAudioRecorder::settingsChanged, task.data(),
            [t = task.data()](const QString &property, const QVariant &value) {
                t->notify(answer(JSInvoke::audioRecordSettingsChanged, {{property, value}}));
            });
        auto has = [&settings](Other::_Other k) { return settings.contains(key(k)); };
        auto text = [&settings](Other::_Other k) { return settings.value(key(k)).toString(); };
        bool ok = true;
        if (has(Other::container)) {
            const QString container = text(Other::container);
            ok = m_recorder->supportedContainers().contains(container);
            if (ok) {
                m_recorder->setContainerFormat(container);
                ok = m_recorder->containerFormat() == container;
            }
        }
        if (ok && has(Other::audioInput)) {
            const QString input = text(Other::audioInput);
            m_recorder->setAudioInput(input);
            ok = m_recorder->audioInput() == input;
        }
        if (ok) {
            QAudioEncoderSettings encoder = m_recorder->audioSettings();
            if (has(Other::codec))
                encoder.setCodec(text(Other::codec));
            if (has(Other::quality))
                encoder.setQuality(qualityOf(text(Other::quality)));
            if (has(Other::bitRate))
                encoder.setBitRate(settings.value(key(Other::bitRate)).toInt());
            if (has(Other::channelCount))
                encoder.setChannelCount(settings.value(key(Other::channelCount)).toInt());
            if (has(Other::sampleRate))
                encoder.setSampleRate(settings.value(key(Other::sampleRate)).toInt());
            m_recorder->setAudioSettings(encoder);
        }
        disconnect(forward);
        if (ok)
            task->resolve(answer(JSInvoke::setAudioRecordSettingsDone));
        else
            task->reject(failure(JSInvoke::setAudioRecordSettingsError));
    });
}

QSharedPointer<Task::ITask> CAudioRecorder::setAudioRecordStatus(const QVariantMap &status)
{
    return Task::onThread(this, [this, status](const QSharedPointer<Task::CTask> &task) {
        if (!m_recorder) {
            task->reject(notInitialised(JSInvoke::setAudioRecordStatusError));
            return;
        }
        QAudioRecorder *r = m_recorder;
        auto has = [&status](Other::_Other k) { return status.contains(key(k)); };
        auto value = [&status](Other::_Other k) { return status.value(key(k)); };
        bool ok = Task::applyState<QMediaRecorder>(r, status, &QMediaRecorder::record);
        if (ok && has(Other::volume)) {
            const double volume = value(Other::volume).toDouble(&ok);
            if (ok) {
                r->setVolume(volume);
                ok = CAudioPlayer::relativelyEqual(r->volume(), volume);
            }
        }
        ok = ok && Task::applyMuted(r, status);
        if (ok)
            task->resolve(answer(JSInvoke::setAudioRecordStatusDone));
        else
            task->reject(failure(JSInvoke::setAudioRecordStatusError));
    });
}
