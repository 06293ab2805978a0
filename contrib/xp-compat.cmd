@echo off
rem Sets the compatibility mode for Windows XP (Service Pack 3) for Knobvane.exe and
rem Linescout.exe in this script's folder, for the current user, in the registry key where
rem the Compatibility tab of a program's Properties keeps it. From Vista on the mixer only
rem reaches the speakers' own volume in that mode. "xp-compat.cmd /remove" takes it away.
rem No parenthesised blocks below: a folder such as "Program Files (x86)" would end them.
setlocal
set "layers=HKCU\Software\Microsoft\Windows NT\CurrentVersion\AppCompatFlags\Layers"
set "folder=%~dp0"
set "failed="

if /i "%~1"=="/remove" goto remove
if not "%~1"=="" goto usage

rem Windows 8 and later mark what the Compatibility tab sets with "~ "; Vista and 7 do not.
set "mode=~ WINXPSP3"
set "ntversion="
for /f "tokens=3" %%v in ('reg query "HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion" /v CurrentVersion 2^>nul ^| find "CurrentVersion"') do set "ntversion=%%v"
if "%ntversion%"=="6.0" set "mode=WINXPSP3"
if "%ntversion%"=="6.1" set "mode=WINXPSP3"

call :set_mode Knobvane.exe
call :set_mode Linescout.exe
if defined failed goto failed
echo Knobvane.exe and Linescout.exe in %folder% now run in the compatibility mode for
echo Windows XP (Service Pack 3), for the user %USERNAME%.
echo "%~nx0 /remove" takes that away.
goto done

:set_mode
if exist "%folder%%~1" goto set_mode_found
echo %~1 is not in %folder%: keep %~nx0 beside Knobvane.exe and Linescout.exe.
set "failed=1"
goto :eof
:set_mode_found
reg add "%layers%" /v "%folder%%~1" /t REG_SZ /d "%mode%" /f >nul
if errorlevel 1 set "failed=1"
goto :eof

:remove
reg delete "%layers%" /v "%folder%Knobvane.exe" /f >nul 2>&1
reg delete "%layers%" /v "%folder%Linescout.exe" /f >nul 2>&1
rem Either value may never have been set: what counts is that neither is left. (Tested with
rem "if errorlevel", which every cmd honours after a program, unlike "&&".)
reg query "%layers%" /v "%folder%Knobvane.exe" >nul 2>&1
if not errorlevel 1 set "failed=1"
reg query "%layers%" /v "%folder%Linescout.exe" >nul 2>&1
if not errorlevel 1 set "failed=1"
if defined failed goto failed
echo Knobvane.exe and Linescout.exe in %folder% no longer have a compatibility mode set
echo for the user %USERNAME%.
goto done

:usage
echo Usage: %~nx0 [/remove]
echo Sets the compatibility mode for Windows XP (Service Pack 3) for Knobvane.exe and
echo Linescout.exe in this folder, for your user; /remove takes it away.
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
