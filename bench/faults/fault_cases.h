#pragma once
// The cases of the fault matrix: every fault of the simulated board (and of the bridge's line
// control) against every phase of the update it can strike.

#include <QString>
#include <QVector>

struct FaultCase {
    QString group;        // the table's row
    QString faults;       // PELMORA_SIM_FAULTS syntax
    int lineControlStatus = 0;  // non-zero: the bridge refuses every boot-mode line control so
    bool smallImage = false;    // 1000 bytes (4 blocks) instead of the built-in image
};

QVector<FaultCase> faultCases();
