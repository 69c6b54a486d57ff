#include "globals.h"

const quint16 WebSocketPort = 35561;
QString ExePath;
QString strLogFile;
