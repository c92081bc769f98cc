#pragma once

#include <QStringList>

// velmora-machine traffic --site N [--date yyyymmdd] [--requests K]: writes K synthetic requests
// of site N into that UTC day's central binary log, through the web service's own log writer.
// args are the arguments after "traffic"; returns the exit status.
int runTraffic(const QString& machineFolder, const QStringList& args);
