#include "globals.h"

char QSETTINGS_APP_NAME_g[] = "Brightquill4400Converter";
char APP_COMPANY_g[] = "hollowmarker";
char APP_DOMAIN_g[] = "hollowmarker.org";

// Defined in one translation unit so that they are built in this order and
// destroyed in the reverse one. (The window's configuration record, CONF_g, is the
// window's own: see settings.cpp.)
QString VERSION_g = QStringLiteral(CONVERTER_VERSION);
s_BLOCK BLOCKS_g[MAX_BLOCKS];
int nBlocks_g = 0;
