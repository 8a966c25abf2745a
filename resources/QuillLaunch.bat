@echo off
rem Brings Quillmark back after an update has been unpacked into C:\Quillmark.
rem Started detached, without arguments, by the program that is about to quit:
rem waits (up to about 30 s) until Quillmark.exe has ended, then starts it again.
rem (ping paces the wait: timeout refuses to run without a console.)
setlocal
set tries=0
:wait
tasklist /FI "IMAGENAME eq Quillmark.exe" /NH 2>NUL | find /I "Quillmark.exe" >NUL
if errorlevel 1 goto start
set /a tries+=1
if %tries% GEQ 30 goto start
ping -n 2 127.0.0.1 >NUL
goto wait
:start
cd /d "C:\Quillmark"
start "" /D "C:\Quillmark" "C:\Quillmark\Quillmark.exe"
endlocal
