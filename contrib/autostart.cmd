@echo off
rem Starts Knobvane.exe in this script's folder at login, for the current user, with the
rem arguments given to this script: "autostart.cmd COM3 1 x 4" writes the value "Knobvane"
rem under the current user's Run key, which Windows runs at every login. "autostart.cmd"
rem alone shows what is set; "autostart.cmd /remove" takes it away.
rem No parenthesised blocks below: a folder such as "Program Files (x86)" would end them.
setlocal
set "run=HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
set "folder=%~dp0"
set "arguments=%*"
set "failed="

if not defined arguments goto show
if /i "%~1"=="/remove" goto remove
rem Without a port Knobvane ends at once, and given a port and no line it shows its usage
rem and sets nothing: neither is for a login. A port is COM1 to COM9, or \\.\ and a name.
set "port=%~1"
if "%port:~0,4%"=="\\.\" goto port_given
if /i not "%port:~0,3%"=="COM" goto usage
rem Windows opens COM10 and on only by their long name, which Knobvane is given as it is.
if not "%port:~4%"=="" set "port=\\.\%port%"
:port_given
if "%~2"=="" goto usage
rem The lines after the port, one by one: %* would keep the port as it was typed.
set "arguments=%port%"
:next_line
shift /1
if "%~1"=="" goto write_checked
set "arguments=%arguments% %~1"
goto next_line
:write_checked
if exist "%folder%Knobvane.exe" goto write
echo Knobvane.exe is not in "%folder%": keep %~nx0 beside Knobvane.exe.
set "failed=1"
goto failed

:write
rem The folder goes in through delayed expansion, which leaves an "&" or a "^" in it alone.
rem reg reads \" as a quote that belongs to the value.
setlocal EnableDelayedExpansion
reg add "%run%" /v Knobvane /t REG_SZ /d "\"!folder!Knobvane.exe\" !arguments!" /f >nul
if errorlevel 1 set "failed=1"
endlocal & set "failed=%failed%"
if defined failed goto failed
echo Knobvane now starts at login for the user %USERNAME%, as:
call :current
echo "%~nx0 /remove" takes that away.
goto done

:show
reg query "%run%" /v Knobvane >nul 2>&1
if errorlevel 1 goto show_nothing
echo Knobvane starts at login for the user %USERNAME%, as:
call :current
goto show_usage
:show_nothing
echo Knobvane does not start at login for the user %USERNAME%.
:show_usage
echo To start it at login: %~nx0 ^<COM-port^> ^<Line0^> [Line1] ... [Line5], with the
echo arguments Knobvane.exe takes, for example: %~nx0 COM3 1 x 4
echo To stop that: %~nx0 /remove
goto done

rem Prints the command line the Run key holds, as Windows reads it back.
:current
for /f "tokens=2,*" %%a in ('reg query "%run%" /v Knobvane 2^>nul ^| find "REG_SZ"') do echo   %%b
goto :eof

:remove
reg delete "%run%" /v Knobvane /f >nul 2>&1
rem The value may never have been set: what counts is that none is left. (Tested with
rem "if errorlevel", which every cmd honours after a program, unlike "&&".)
reg query "%run%" /v Knobvane >nul 2>&1
if not errorlevel 1 set "failed=1"
if defined failed goto failed
echo Knobvane no longer starts at login for the user %USERNAME%.
goto done

:usage
echo %~nx0: Knobvane needs the port first, COM1 to COM9 or \\.\COM10 and on, then at least
echo one line number, knob 0 first; x skips a knob. For example: %~nx0 COM3 1 x 4
echo (Linescout.exe lists the line numbers.) Nothing was written.
set "failed=1"
goto done

:failed
echo %~nx0: not done, see above.
goto done

:done
rem Opened by a double-click, the window would close before the message could be read.
echo %cmdcmdline% | find /i "%~0" >nul
if not errorlevel 1 pause
if defined failed exit /b 1
exit /b 0
