On Error Resume Next
t0 = Timer
Set o = CreateObject("Qarl.Application")
WScript.Echo "created err=" & Err.Number & " at " & (Timer - t0)
WScript.Sleep 6000
WScript.Echo "slept err=" & Err.Number & " at " & (Timer - t0)
Set o = Nothing
WScript.Echo "released err=" & Err.Number & " at " & (Timer - t0)
