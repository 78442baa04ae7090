// Location trace lines of the debug log: where a statement stands, then what it logs.
#pragma once

#include <QDebug>

#define LAVROSK_TRACE() LAVROSK_TRACE_AS(__func__)

// For a helper that logs on behalf of the function it serves.
#define LAVROSK_TRACE_AS(function)                                                                 \
    qDebug() << "目标文件名称:" << __FILE__ << "目标行数编号:" << __LINE__                         \
             << "目标函数名称:" << function << "日志:"
