// Ready-made modal dialogs and the file-name, input and clipboard helpers.
#pragma once

// Button titles of the ready-made dialogs.
extern const char* SD_OK;
extern const char* SD_CANCEL;
extern const char* SD_YES;
extern const char* SD_NO;
// Replaces the titles; a null argument keeps the one there is.
void modify_system_dialogs(const char* ok, const char* cancel, const char* yes, const char* no);

// Shows text until the user dismisses it or about ten seconds pass.
void message(const char* text);
// 1 for yes, 0 otherwise.
int yes_no(const char* text);
// How many message and question boxes have been shown so far: a caller can
// tell whether an operation that failed has already said so to the user.
extern unsigned MESSAGES_SHOWN;

// Where the ready-made dialogs and the progress window go in a program
// without windows: chosen once at start-up, before anything is shown. While
// it is set, message and yes_no create no window and read no events, the
// progress window (bcp/progress.h) reports to it instead of opening, and
// the busy pointer is left alone, so no display is ever needed. Null (the
// default) shows the boxes.
class tdialog_sink {
 public:
  virtual ~tdialog_sink() {}
  virtual void message(const char* text) = 0;
  // The answer to a question: 1 for yes, 0 otherwise.
  virtual int yes_no(const char* text) = 0;
  // A progress window of max steps opened, moved to pos, closed.
  virtual void progress_open(const char*, int) {}
  virtual void progress_step(int, int) {}
  virtual void progress_close() {}
};
extern tdialog_sink* DIALOG_SINK;

// Drops trailing line feeds, carriage returns and blanks, in place.
char* rep(char* s);
// The file name of a path, in place: what follows the last '/' or '\'.
char* name(char* s);
// The directory of a path, in place: up to and including the last '/' or
// '\'; empty when there is no separator.
char* path(char* s);

// Plain text on the clipboard.
void copy_text_to_clipboard(void* hwnd, const char* text);
// The clipboard's text into buffer, at most as many characters as the string
// in buffer is long at the call (the caller pre-fills it to fix the capacity).
// Nothing changes when the clipboard holds no text.
void copy_text_from_clipboard(void* hwnd, char* buffer);

// The file chooser. file holds the proposed name and receives the full path
// of the chosen file (size is its capacity), dir is the initial directory,
// filter the description/pattern pairs ("Hex file\0*.hex\0", the list ended
// by an empty string), ext the extension given to a name typed without one.
// Non-zero when a file was chosen.
// The file must exist.
int only_open_file(char* file, int size, const char* dir, const char* filter, const char* ext);
// A file that does not exist yet is accepted (the caller creates it).
int open_file(char* file, int size, const char* dir, const char* filter, const char* ext);
// A name to save under; replacing an existing file is confirmed.
int save_file(char* file, int size, const char* dir, const char* filter, const char* ext);
