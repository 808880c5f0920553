#pragma once

#include <QObject>

// An object that lives in a thread of its own: the thread starts it with process(), and it
// ends when the worker emits finished().
class ThreadWorker : public QObject
{
    Q_OBJECT
public:
    explicit ThreadWorker(QObject* parent = nullptr);

    virtual void stop() = 0;

signals:
    void finished();
    void error(QString err);

public slots:
    virtual void process() = 0;
};
