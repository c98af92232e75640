// The one line the player keeps redrawing in place at a terminal: the
// memory load's progress, then the status line of the music. Each redraw is
// fitted to the terminal's width as it is at that moment, so that the line
// never wraps into a new one, and covers what a longer line before it left.
// Without a terminal nothing is redrawn; only the lines that are ended
// (finishLine) are printed, as plain lines.
//
// Functions: startDisplay, drawLine, endLine, finishLine.
#pragma once

#include <string>

/// Whether standard output is a terminal to redraw on; at the start of the play.
void startDisplay(bool terminal);

/// At a terminal: redraws the line in place as `text`. Otherwise nothing.
void drawLine(const std::string& text);

/// Ends the line drawn, if one is: the next output starts a line of its own.
void endLine();

/// The line's last form: at a terminal drawn over the line and ended;
/// otherwise printed as a line.
void finishLine(const std::string& text);
