// The installer's screen: clear, cursor move within the recorded size, colour by code.
#pragma once

extern "C" {

// Blanks the whole screen buffer keeping its colours, records its size, cursor to 0,0.
// Without a console nothing is cleared and the recorded size becomes 0 by 0.
void ConsoleClear(void);
// Moves the cursor when 0 <= column <= width and 0 <= row <= height (recorded size).
void ConsoleCursorMove(int column, int row);
// Sets the text attribute that the colour code stands for.
void ConsoleColorSet(int code);

// The attribute of a colour code; unknown codes give 0x0F.
unsigned ConsoleColorAttribute(int code);
// Whether ConsoleCursorMove would pass the position to the console.
int ConsoleCursorMoveAllowed(int column, int row);
}
