@echo off
rem Brings Quillmark back after an update. Started detached, without arguments, by
rem the program that is about to quit, from C:\Quillmark:
rem  1. waits (up to about 30 s) until Quillmark.exe has ended: tasklist no longer
rem     lists it, and its file can be opened for writing again;
rem  2. moves the release the program unpacked into UpdateStaging into place: the
rem     installed files it replaces go aside into UpdateBackup first, so that when a
rem     file cannot be moved the installed release is put back whole, and
rem     UpdateFailed.txt tells the next start what went wrong;
rem  3. starts Quillmark.exe again.
rem cmd reads a batch file while it runs it (and some keep it open), and the release
rem may hold a new copy of this one: the work is done by a copy in %TEMP%, in a cmd
rem of its own, and this one ends at once. Every step is checked by what
rem is on disk afterwards, not by error levels, which not every cmd sets for move.
rem QuillLaunch.sh is the same script for other systems. (ping paces the waits:
rem timeout refuses to run without a console.)
setlocal EnableExtensions
if /I not "%~1"=="--from-copy" (
  copy /y "%~f0" "%TEMP%\QuillLaunch-run.bat" >NUL 2>NUL
  if exist "%TEMP%\QuillLaunch-run.bat" (
    start "" /b cmd /c ""%TEMP%\QuillLaunch-run.bat" --from-copy"
    goto :eof
  )
)
set "ROOT=C:\Quillmark"
set "STAGE=%ROOT%\UpdateStaging"
set "BACKUP=%ROOT%\UpdateBackup"
set "FAILED=%ROOT%\UpdateFailed.txt"
set "MOVED=%TEMP%\QuillLaunch-moved.txt"

set tries=0
:wait
set busy=0
tasklist /FI "IMAGENAME eq Quillmark.exe" /NH 2>NUL | find /I "Quillmark.exe" >NUL 2>NUL
if not errorlevel 1 set busy=1
if exist "%ROOT%\Quillmark.exe" call :probe
if %busy%==0 goto install
set /a tries+=1
if %tries% GEQ 30 goto install
ping -n 2 127.0.0.1 >NUL
goto wait

:install
if not exist "%STAGE%\" goto start
if exist "%BACKUP%\" rmdir /s /q "%BACKUP%"
set "bad="
type NUL >"%MOVED%"
for /r "%STAGE%" %%F in (*) do call :aside "%%F"
if not defined bad for /r "%STAGE%" %%F in (*) do call :bring "%%F"
if not defined bad goto installed
rem Back to the installed release: what came in goes, what went aside returns.
for /f "usebackq delims=" %%R in ("%MOVED%") do del /f /q "%ROOT%\%%R" >NUL 2>NUL
if exist "%BACKUP%\" for /r "%BACKUP%" %%F in (*) do call :restore "%%F"
>"%FAILED%" echo The new release could not be moved into place (%bad%).
:installed
rem The files of a program that has just ended can stay held for a moment.
set tries=0
:tidy
if exist "%STAGE%\" rmdir /s /q "%STAGE%" >NUL 2>NUL
if exist "%BACKUP%\" rmdir /s /q "%BACKUP%" >NUL 2>NUL
if not exist "%STAGE%\" if not exist "%BACKUP%\" goto start
set /a tries+=1
if %tries% GEQ 10 goto start
ping -n 2 127.0.0.1 >NUL
goto tidy

:start
cd /d "%ROOT%"
start "" /D "%ROOT%" "%ROOT%\Quillmark.exe"
endlocal
goto :eof

:probe
rem The file of a running program cannot be opened for writing: the second cmd
rem starts (and clears the error level) only when its output can be appended there.
cmd /c exit 1
cmd /c exit 0 >>"%ROOT%\Quillmark.exe" 2>NUL
if errorlevel 1 set busy=1
goto :eof

:aside
rem An installed file the release replaces goes into UpdateBackup.
if defined bad goto :eof
set "rel=%~1"
call set "rel=%%rel:%STAGE%\=%%"
if not exist "%ROOT%\%rel%" goto :eof
for %%D in ("%BACKUP%\%rel%") do if not exist "%%~dpD" mkdir "%%~dpD" >NUL 2>NUL
move /y "%ROOT%\%rel%" "%BACKUP%\%rel%" >NUL 2>NUL
if exist "%ROOT%\%rel%" set "bad=%rel%"
goto :eof

:bring
rem A file of the release takes its place.
if defined bad goto :eof
set "rel=%~1"
call set "rel=%%rel:%STAGE%\=%%"
for %%D in ("%ROOT%\%rel%") do if not exist "%%~dpD" mkdir "%%~dpD" >NUL 2>NUL
move /y "%~1" "%ROOT%\%rel%" >NUL 2>NUL
if exist "%~1" (set "bad=%rel%") else (>>"%MOVED%" echo %rel%)
goto :eof

:restore
set "rel=%~1"
call set "rel=%%rel:%BACKUP%\=%%"
for %%D in ("%ROOT%\%rel%") do if not exist "%%~dpD" mkdir "%%~dpD" >NUL 2>NUL
move /y "%~1" "%ROOT%\%rel%" >NUL 2>NUL
goto :eof
