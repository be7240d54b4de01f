// Starts a program with a command line made exactly as asked and returns its exit status. Wine's
// own launcher quotes every argument that holds a blank or is empty, so the argument text a user
// types in a Windows console cannot be passed through it; this can.
//   exact_command_line.exe PROGRAM [ARG...]
//       command line: PROGRAM, then the ARGs joined by single blanks, none of them quoted
//   exact_command_line.exe --line TEXT PROGRAM
//       command line: TEXT exactly (the name it starts with need not be PROGRAM's)
// Standard input, output and error are handed to the program as they are.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <string>

namespace {

int Fail(const char* what) {
  char text[160];
  const int length =
      wsprintfA(text, "exact_command_line: %s failed: error %lu\n", what, GetLastError());
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
  return 125;
}

void Inherit(HANDLE handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args == nullptr) return Fail("CommandLineToArgvW");

  std::wstring program;
  std::wstring line;
  if (count == 4 && std::wstring(args[1]) == L"--line") {
    line = args[2];
    program = args[3];
  } else if (count >= 2) {
    program = args[1];
    line = program.find_first_of(L" \t") == std::wstring::npos ? program : L'"' + program + L'"';
    for (int i = 2; i < count; ++i) line += L' ' + std::wstring(args[i]);
  } else {
    LocalFree(args);
    SetLastError(ERROR_INVALID_PARAMETER);
    return Fail("reading the arguments");
  }
  LocalFree(args);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  Inherit(startup.hStdInput);
  Inherit(startup.hStdOutput);
  Inherit(startup.hStdError);

  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return Fail("CreateProcessW");
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 125;
  if (!GetExitCodeProcess(process.hProcess, &status)) status = 125;
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}
