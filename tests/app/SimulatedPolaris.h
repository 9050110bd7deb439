#pragma once
// A simulated Polaris on a pseudo-terminal (tests/navigation/sim/polaris_sim.py, with further
// options of its own) whose handpiece (x 10 mm, error 0.1) and patient locator (x -20 mm,
// error 0.2) stand still a metre away, facing it.
#include "../navigation/PtySimulator.h"

#include <QFile>
#include <memory>

struct SimulatedPolaris
{
    explicit SimulatedPolaris(const QStringList& options = {})
    {
        QFile file(folder.filePath("trajectory.txt"));
        file.open(QIODevice::WriteOnly);
        file.write("0 0 1 0 1 0 0 10 0 -1000 0.1\n0 1 1 0 1 0 0 -20 0 -1000 0.2\n");
        file.close();
        sim = std::make_unique<PtySimulator>(MORVANTA_SOURCE_DIR "/tests/navigation/sim/polaris_sim.py",
                                             QStringList{"--trajectory", file.fileName()} + options);
    }
    QTemporaryDir folder;
    std::unique_ptr<PtySimulator> sim;
};
