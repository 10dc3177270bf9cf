#pragma once
// Scenes of the walk-through: the pages in states a whole walk passes too
// quickly to picture (an inquiry under way, a send waiting, the Advanced
// dialog's level list open, an adapter's tooltip, a page after a hang-up),
// each set up on its own rig and saved as pictures for a person to look at.

#include <QString>
#include <QStringList>

#include <cstdio>

namespace vtrl::demo {

QStringList SceneNames();

// Plays the scenes named (every one for "all") and saves their pictures in
// `folder`; says on `out` what it saved. False, with `error`, at the first
// that did not come about (an unknown name: with each scene's pictures). Under a display (a virtual X server will do) a
// picture is the screen with the window's frame and its popups; on the
// offscreen platform, the window alone.
bool PlayScenes(const QStringList& names, const QString& folder, std::FILE* out, QString& error);

}  // namespace vtrl::demo
