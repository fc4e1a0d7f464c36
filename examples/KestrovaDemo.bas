Attribute VB_Name = "KestrovaDemo"
' Places a call through the phone application from an Office macro (VBA):
' subscribes to the phone's notifications, dials, takes the line off hook,
' hangs up and prints every notification as it arrives, in the Immediate
' window (Ctrl+G).
'
' In the VBA editor: File > Import File... this file, set PackageFolder to
' the package's folder (KestrovaAPI-1.0.0, where you unpacked the zip) and run
' DemoCall. For Office 2010 and later, 32- and 64-bit. Office loads the DLL of
' its own bitness: x64\bin's for 64-bit Office, x86\bin's for 32-bit (File >
' Account > About says which Office is installed).
Option Explicit

' The folder the zip unpacks into, here with the zip unpacked into C:\.
Private Const PackageFolder As String = "C:\KestrovaAPI-1.0.0"

#If Win64 Then
' 64-bit Office: x64 has one calling convention, so the library's functions
' are declared as any DLL's. A String passed ByVal reaches the DLL as a
' terminated string in the ANSI code page.
Private Declare PtrSafe Function kestrovaDial Lib "KestrovaAPI.dll" (ByVal callee As String, ByVal number As String) As Long
Private Declare PtrSafe Function kestrovaHookOff Lib "KestrovaAPI.dll" () As Long
Private Declare PtrSafe Function kestrovaHangUp Lib "KestrovaAPI.dll" () As Long
Private Declare PtrSafe Function kestrovaAddObserver Lib "KestrovaAPI.dll" (ByVal observer As LongPtr) As Long
Private Declare PtrSafe Function kestrovaRemoveObserver Lib "KestrovaAPI.dll" (ByVal observer As LongPtr) As Long
Private Const PointerSize As Long = 8
#Else
' 32-bit Office: VBA calls a declared function as stdcall, and stops a cdecl
' one that takes arguments with error 49, "Bad DLL calling convention". The
' library's functions are cdecl, so they are called through DispCallFunc,
' which makes cdecl calls: see the functions of the same names below.
Private Declare PtrSafe Function DispCallFunc Lib "oleaut32" (ByVal instance As Long, ByVal address As Long, ByVal convention As Long, ByVal resultType As Integer, ByVal count As Long, ByRef types As Integer, ByRef arguments As Long, ByRef result As Variant) As Long
Private Declare PtrSafe Function GetProcAddress Lib "kernel32" (ByVal module As Long, ByVal procedure As String) As Long
Private Const PointerSize As Long = 4
Private Const CC_CDECL As Long = 1
#End If

Private Declare PtrSafe Function LoadLibraryA Lib "kernel32" (ByVal path As String) As LongPtr
Private Declare PtrSafe Function lstrlenA Lib "kernel32" (ByVal text As LongPtr) As Long
Private Declare PtrSafe Sub CopyMemory Lib "kernel32" Alias "RtlMoveMemory" (ByRef destination As Any, ByVal source As LongPtr, ByVal size As LongPtr)
Private Declare PtrSafe Sub Sleep Lib "kernel32" (ByVal ms As Long)

Private library As LongPtr
Private observer As LongPtr
Private heard As Collection

#If Not Win64 Then
' Calls the library's function with the cdecl convention; each argument is a
' Long, a number or an address.
Private Function CallCdecl(ByVal procedure As String, ParamArray arguments() As Variant) As Long
    Dim types(0 To 3) As Integer, values(0 To 3) As Variant, pointers(0 To 3) As Long
    Dim count As Long, i As Long, result As Variant
    count = UBound(arguments) + 1
    For i = 0 To count - 1
        values(i) = CLng(arguments(i))
        types(i) = vbLong
        pointers(i) = VarPtr(values(i))
    Next
    If DispCallFunc(0, GetProcAddress(library, procedure), CC_CDECL, vbLong, count, types(0), pointers(0), result) <> 0 Then
        Err.Raise 5, , "KestrovaAPI.dll: could not call " & procedure
    End If
    CallCdecl = result
End Function

' Text goes to the library as terminated bytes in the ANSI code page.
Private Function kestrovaDial(ByVal callee As String, ByVal number As String) As Long
    Dim ansiCallee() As Byte, ansiNumber() As Byte
    ansiCallee = StrConv(callee & vbNullChar, vbFromUnicode)
    ansiNumber = StrConv(number & vbNullChar, vbFromUnicode)
    kestrovaDial = CallCdecl("kestrovaDial", VarPtr(ansiCallee(0)), VarPtr(ansiNumber(0)))
End Function

Private Function kestrovaHookOff() As Long
    kestrovaHookOff = CallCdecl("kestrovaHookOff")
End Function

Private Function kestrovaHangUp() As Long
    kestrovaHangUp = CallCdecl("kestrovaHangUp")
End Function

Private Function kestrovaAddObserver(ByVal observer As Long) As Long
    kestrovaAddObserver = CallCdecl("kestrovaAddObserver", observer)
End Function

Private Function kestrovaRemoveObserver(ByVal observer As Long) As Long
    kestrovaRemoveObserver = CallCdecl("kestrovaRemoveObserver", observer)
End Function
#End If

' A terminated string in the ANSI code page, at address, as a VBA string.
Private Function AnsiAt(ByVal address As LongPtr) As String
    Dim size As Long, bytes() As Byte
    size = lstrlenA(address)
    If size = 0 Then Exit Function
    ReDim bytes(0 To size - 1)
    CopyMemory bytes(0), address, size
    AnsiAt = StrConv(bytes, vbUnicode)
End Function

' The observer. 32-bit VBA makes it a stdcall function, which the 32-bit
' library tolerates. It runs while the macro lets Office dispatch messages
' (DoEvents), or while Office is idle. The strings live only during the call:
' they are copied out. An error escaping it would bring Office down.
Private Sub OnNotification(ByVal count As Long, ByVal tokens As LongPtr)
    On Error Resume Next
    Dim words() As String, address As LongPtr, text As String, i As Long
    ReDim words(0 To count - 1)
    For i = 0 To count - 1
        CopyMemory address, tokens + i * PointerSize, PointerSize
        words(i) = AnsiAt(address)
    Next
    heard.Add words
    text = "    phone says: " & words(0)
    For i = 1 To count - 1
        text = text & IIf(i = 1, " ", ", ") & """" & words(i) & """"
    Next
    Debug.Print text
End Sub

' AddressOf may only stand in an argument list.
Private Function PointerTo(ByVal address As LongPtr) As LongPtr
    PointerTo = address
End Function

Private Function HasHeard(ByVal word As String) As Boolean
    Dim words As Variant, item As Variant
    For Each words In heard
        For Each item In words
            If item = word Then HasHeard = True: Exit Function
        Next
    Next
End Function

' Lets Office dispatch messages for up to ms milliseconds, or until the phone
' has said word: notifications arrive only then.
Private Sub WaitToHear(ByVal word As String, ByVal ms As Long)
    Dim ends As Double
    ends = Timer + ms / 1000
    Do While Timer < ends
        If Len(word) > 0 Then
            If HasHeard(word) Then Exit Sub
        End If
        DoEvents
        Sleep 10
    Loop
End Sub

Private Function Report(ByVal what As String, ByVal result As Long) As Long
    Debug.Print Left$(what & Space$(34), 34) & " -> " & result & IIf(result = 0, " (ok)", "")
    Report = result
End Function

' The first request also starts the phone application, which takes a moment
' to be ready: retry for a while. Before each retry the link of the failed
' try is closed: should the phone application quit or crash and start again
' meanwhile, a retry on that link would reach the one that went, and fail
' every time.
Private Function Subscribe() As Long
    Dim attempt As Long
    For attempt = 1 To 40
        Subscribe = kestrovaAddObserver(observer)
        If Subscribe <> -1 Then Exit Function
        kestrovaRemoveObserver 0
        WaitToHear "", 250
    Next
End Function

Public Sub DemoCall()
    PlaceCall "Ann Example", "+1 555 0100"
End Sub

Public Sub PlaceCall(ByVal callee As String, ByVal number As String)
    Dim path As String, result As Long
#If Win64 Then
    path = PackageFolder & "\x64\bin\KestrovaAPI.dll"
#Else
    path = PackageFolder & "\x86\bin\KestrovaAPI.dll"
#End If
    ' Loaded by its full path first, the declarations above find it by name.
    If library = 0 Then library = LoadLibraryA(path)
    If library = 0 Then
        Debug.Print "KestrovaAPI.dll could not be loaded from " & path
        Exit Sub
    End If
    Set heard = New Collection
    ' The observer stays valid while this project is loaded: remove it before
    ' the document closes or the project is reset (End, or the editor's Reset).
    observer = PointerTo(AddressOf OnNotification)

    Debug.Print "KestrovaAPI demo: calling " & callee & " at " & number
    Debug.Print
    result = Report("kestrovaAddObserver (subscribe)", Subscribe())
    If result > 0 Then
        Debug.Print "No phone application handles the ""dial"" action on .vcf files."
        Exit Sub
    ElseIf result <> 0 Then
        Debug.Print "The phone application could not be reached."
        Exit Sub
    End If
    Report "kestrovaDial", kestrovaDial(callee, number)
    WaitToHear "ringing", 10000   ' the phone has read the card
    Report "kestrovaHookOff (take the line)", kestrovaHookOff()
    WaitToHear "connected", 5000
    Report "kestrovaHangUp", kestrovaHangUp()
    WaitToHear "ended", 5000
    Report "kestrovaRemoveObserver", kestrovaRemoveObserver(observer)
    Debug.Print
    Debug.Print "Done."
End Sub
