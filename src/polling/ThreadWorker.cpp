#include "ThreadWorker.h"

ThreadWorker::ThreadWorker(QObject* parent) : QObject(parent) {}
