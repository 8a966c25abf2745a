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
rem cmd reads a batch file while it runs it, and the release may hold a new copy of
rem this one: the work is done by a copy in %TEMP%. QuillLaunch.sh is the same script
rem for other systems. (ping paces the waits: timeout refuses to run without a console.)
setlocal EnableExtensions EnableDelayedExpansion
if /I not "%~1"=="--from-copy" (
  copy /y "%~f0" "%TEMP%\QuillLaunch-run.bat" >NUL || goto run
  "%TEMP%\QuillLaunch-run.bat" --from-copy
)
:run
set "ROOT=C:\Quillmark"
set "STAGE=%ROOT%\UpdateStaging"
set "BACKUP=%ROOT%\UpdateBackup"
set "FAILED=%ROOT%\UpdateFailed.txt"

set tries=0
:wait
set busy=0
tasklist /FI "IMAGENAME eq Quillmark.exe" /NH 2>NUL | find /I "Quillmark.exe" >NUL && set busy=1
if exist "%ROOT%\Quillmark.exe" (
  2>NUL (>>"%ROOT%\Quillmark.exe" call ) || set busy=1
)
if !busy!==0 goto install
set /a tries+=1
if !tries! GEQ 30 goto install
ping -n 2 127.0.0.1 >NUL
goto wait

:install
if not exist "%STAGE%\" goto start
if exist "%BACKUP%\" rmdir /s /q "%BACKUP%"
set "bad="
for /r "%STAGE%" %%F in (*) do if not defined bad (
  set "rel=%%F"
  set "rel=!rel:%STAGE%\=!"
  if exist "%ROOT%\!rel!" (
    for %%D in ("%BACKUP%\!rel!") do if not exist "%%~dpD" mkdir "%%~dpD" 2>NUL
    move /y "%ROOT%\!rel!" "%BACKUP%\!rel!" >NUL 2>NUL || set "bad=!rel!"
  )
)
set "MOVED=%TEMP%\QuillLaunch-moved.txt"
type NUL >"%MOVED%"
if not defined bad for /r "%STAGE%" %%F in (*) do if not defined bad (
  set "rel=%%F"
  set "rel=!rel:%STAGE%\=!"
  for %%D in ("%ROOT%\!rel!") do if not exist "%%~dpD" mkdir "%%~dpD" 2>NUL
  move /y "%%F" "%ROOT%\!rel!" >NUL 2>NUL && (>>"%MOVED%" echo !rel!) || set "bad=!rel!"
)
if not defined bad goto installed
rem Back to the installed release: what came in goes, what went aside returns.
for /f "usebackq delims=" %%R in ("%MOVED%") do del /f /q "%ROOT%\%%R" 2>NUL
if exist "%BACKUP%\" for /r "%BACKUP%" %%F in (*) do (
  set "rel=%%F"
  set "rel=!rel:%BACKUP%\=!"
  move /y "%%F" "%ROOT%\!rel!" >NUL 2>NUL
)
>"%FAILED%" echo The new release could not be moved into place (!bad!).
:installed
rmdir /s /q "%STAGE%" 2>NUL
if exist "%BACKUP%\" rmdir /s /q "%BACKUP%" 2>NUL

:start
cd /d "%ROOT%"
start "" /D "%ROOT%" "%ROOT%\Quillmark.exe"
endlocal
