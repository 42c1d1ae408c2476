#pragma once

#include "bridge/mediaplugins.h"
#include "bridge/owningcall.h"

#include <QAudioRecorder>
#include <QSharedPointer>
#include <QTimer>
#include <QVariant>
#include <QVariantMap>

// Records audio from an input device into a file for the page. The recorder
// exists from the first initialisation on; before it, operations fail with
// code DeviceUnavailable and the reports answer empty values.
//
// Every call on the recorder happens in the thread that owns the plugin. A
// recordAudio call owns the recording until it has reported recordAudioDone
// or recordAudioError; only the owner hears of the recorder's changes. A take
// ends (recordAudioDone) once its file is finished, and a new recordAudio
// starts only then: a recorder restarted while it finalises writes neither
// file.
class CAudioRecorder : public IAudioRecorder
{
    Q_OBJECT
public:
    CAudioRecorder();
    ~CAudioRecorder() override;

    // Creates the recorder; a second call fails with 608.
    QSharedPointer<Task::ITask> initialize() override;

    // url: a full URL, or a path; relative paths are files under the
    // contents folder. A new call stops the current recording first.
    QSharedPointer<Task::ITask> recordAudio(const QString &uuid, const QString &url) override;
    QSharedPointer<Task::ITask> audioRecordStatus() override;
    QSharedPointer<Task::ITask> setAudioRecordStatus(const QVariantMap &status) override;
    QSharedPointer<Task::ITask> audioRecordSettings() override;
    // The container is checked against the supported ones before it is set,
    // since the recorder takes any name and fails only when recording.
    QSharedPointer<Task::ITask> setAudioRecordSettings(const QVariantMap &settings) override;

    QAudioRecorder *recorder() const { return m_recorder; }

signals:
    void statusChanged(QString property, QVariant value);
    void settingsChanged(QString property, QVariant value);

private slots:
    void onStatusChanged(QMediaRecorder::Status status);
    void onAudioInputChanged(const QString &name);
    void onAvailableAudioInputsChanged();
    void onAvailabilityChanged(bool available);

private:
    void createRecorder();
    void onStateChanged(QMediaRecorder::State state);
    void onError(QMediaRecorder::Error error);
    void endCall(QSharedPointer<IResponse> response); // by value: it may be m_done
    void scheduleNext();
    void startNext();
    QString outputLocation() const;

    QAudioRecorder *m_recorder = nullptr;
    QMediaRecorder::State m_lastState = QMediaRecorder::StoppedState;
    Task::OwningCall m_call;
    // The stopped take's recordAudioDone, held until its file is finished.
    QSharedPointer<IResponse> m_done;
    // A recordAudio waiting for the take before it to finish.
    struct Next
    {
        QSharedPointer<Task::CTask> task;
        QString uuid;
        QString url;
    } m_next;
    QTimer *m_nextDeadline = nullptr;
};
