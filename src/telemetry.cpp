#include "globals.h"
#include "mainwindow.h"

void MainWindow::load_gps_and_gforce_data_brightquill4300(int k)
{
    BLOCKS_g[k].nRecords = 0;
}
