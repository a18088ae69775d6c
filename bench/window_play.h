#pragma once

#include <QString>

// The real launcher in its window, played as a player plays it: started in
// `install_dir` on the X display of the environment, the name and password
// typed into its form, then Return pressed. Measures from that key to the
// game's start (the stand-in game writes `record_path` and quits at once).
struct WindowPlay
{
    double seconds = -1; // -1: the road did not reach the game
    double cpu_seconds = -1; // the launcher's processor time over the same span
};

WindowPlay play_to_game(const QString &launcher, const QString &install_dir,
                        const QString &record_path, const QString &user, const QString &password);
