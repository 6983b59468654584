start_time = Timer

' Windows inventory of the audit agent.
'
' The agent puts the line outfilename="<file>" in front of this text and runs it once in its script
' host, which gives the script no host object. The script reads the machine through WMI and the registry
' (WMI's StdRegProv), builds the XML result in memory and saves it once, at the end, to outfilename.
' It writes the sections the agent imports: sys, windows, users, software and software_keys.
'
' Where a facility that Windows has is missing (Wine lacks StdRegProv's methods and ADODB.Stream's
' properties), the script takes the next way Windows also has: registry values through WScript.Shell,
' key lists from a reg.exe export, the result saved as Unicode through the file system object.
' Those fallbacks, and the reads of properties that not every WMI provider has, sit in
' On Error Resume Next regions of their own; the main path does not, and a failure there stops the
' script with its line number.
'
' Written for the VBScript engine of Windows and of Wine alike. Wine's has no ChrW, AscW, Join, Eval,
' Execute or DatePart, wants ReDim only on an array declared with Dim, and ends the script without a
' word on an untrapped run-time error: use what both have, and test a change under Wine.

' Configuration ------------------------------------------------------------------------------------

strcomputer = "."                  ' the computer to audit; "." is this one
submit_online = "n"                ' "y" would post the result to url (needs a host object)
create_file = "y"                  ' "y" saves the result to outfilename
url = "http://localhost/index.php/system/add_system"
use_proxy = "n"                    ' not read
struser = ""                       ' credentials for a remote audit; "" is the running account
strpass = ""
org_id = ""                        ' written to sys/man_org_id
windows_user_work_1 = "physicalDeliveryOfficeName"
windows_user_work_2 = "company"
skip_mount_point = "y"
skip_printer = "y"
skip_software = "n"                ' "y" leaves the software section out
skip_dns = "y"
self_delete = "n"                  ' not read
debugging = "0"
ldap = ""
ldap_seen_days = "0"
ldap_seen_date = "2012-06-30"
ping_target = "n"
details_to_lower = "y"             ' "y" lower-cases host name, domain, description and user names

Const HKEY_LOCAL_MACHINE = &H80000002
Const WMI_FORWARD_ONLY = 48        ' wbemFlagReturnImmediately + wbemFlagForwardOnly

Set fso = CreateObject("Scripting.FileSystemObject")
Set shell = CreateObject("WScript.Shell")

' Text --------------------------------------------------------------------------------------------

Set control_characters = New RegExp
control_characters.Pattern = "[\x00-\x08\x0B\x0C\x0E-\x1F]"
control_characters.Global = True

' A value as the result file holds it: null empty, a Boolean "True" or "False", the registered sign
' (character 174) and the control characters XML cannot hold removed, blanks trimmed, and a CDATA
' section around a value with a character of XML markup ("]]>" inside it split over two sections).
Function escape_xml(value)
  Dim text
  If IsNull(value) Or IsEmpty(value) Then
    escape_xml = ""
    Exit Function
  End If
  If VarType(value) = vbBoolean Then
    If value Then text = "True" Else text = "False"
  Else
    text = CStr(value)
  End If
  text = Trim(control_characters.Replace(Replace(text, Chr(174), ""), ""))
  If InStr(text, "&") > 0 Or InStr(text, "<") > 0 Or InStr(text, ">") > 0 Or InStr(text, """") > 0 _
      Or InStr(text, "'") > 0 Then
    text = "<![CDATA[" & Replace(text, "]]>", "]]]]><![CDATA[>") & "]]>"
  End If
  escape_xml = text
End Function

Function lower(value)
  If details_to_lower = "y" Then lower = LCase(value) Else lower = value
End Function

Function two_digits(number)
  two_digits = Right("0" & number, 2)
End Function

' A WMI date ("yyyymmddHHMMSS.ffffff+zzz") as year, month and day joined by "-", a blank, and hour,
' minute and second joined by ":", all without leading zeros; empty for anything shorter.
Function wmi_time_text(value)
  wmi_time_text = ""
  If IsNull(value) Then Exit Function
  If Len(value) < 14 Then Exit Function
  wmi_time_text = CInt(Mid(value, 1, 4)) & "-" & CInt(Mid(value, 5, 2)) & "-" & CInt(Mid(value, 7, 2)) & " " & _
    CInt(Mid(value, 9, 2)) & ":" & CInt(Mid(value, 11, 2)) & ":" & CInt(Mid(value, 13, 2))
End Function

' A WMI date's day as year "-" month "-" day.
Function wmi_date(value)
  wmi_date = ""
  If IsNull(value) Then Exit Function
  If Len(value) < 8 Then Exit Function
  wmi_date = Mid(value, 1, 4) & "-" & Mid(value, 5, 2) & "-" & Mid(value, 7, 2)
End Function

' A property that not every WMI provider has (Wine's lacks a few): Null when it is missing.
Function optional_property(item, name)
  On Error Resume Next
  optional_property = Null
  optional_property = item.Properties_.Item(name).Value
  Err.Clear
End Function

' The result document ------------------------------------------------------------------------------
'
' Every element line ends in CR LF except the end tag of system, which ends the file. The text is
' collected in an ADODB text stream with the character set UTF-8, saved with its byte-order mark.
' Where the stream cannot be set up (Wine registers no type library for it), the text is kept in
' memory in pieces and saved as Unicode (UTF-16LE with its byte-order mark) through the file system
' object; the agent reads both.

Set xml_pieces = CreateObject("Scripting.Dictionary")
xml_piece = ""
Set xml_stream = Nothing
On Error Resume Next
Set xml_stream = CreateObject("ADODB.Stream")
xml_stream.Type = 2                ' adTypeText
xml_stream.Charset = "utf-8"
xml_stream.Open
If Err.Number <> 0 Then Set xml_stream = Nothing
Err.Clear
On Error Goto 0

Sub xml_write(text)
  If xml_stream Is Nothing Then
    xml_piece = xml_piece & text
    If Len(xml_piece) > 8192 Then
      xml_pieces.Add xml_pieces.Count, xml_piece
      xml_piece = ""
    End If
  Else
    xml_stream.WriteText text
  End If
End Sub

Sub xml_line(text)
  xml_write text & vbCrLf
End Sub

' A leaf element `indent` deep holding `value` through escape_xml.
Sub xml_leaf(indent, name, value)
  xml_line String(indent, vbTab) & "<" & name & ">" & escape_xml(value) & "</" & name & ">"
End Sub

' An element `indent` deep named `record` whose leaves are `names` holding `values`, by position.
Sub xml_record(indent, record, names, values)
  Dim i
  xml_line String(indent, vbTab) & "<" & record & ">"
  For i = 0 To UBound(names)
    xml_leaf indent + 1, names(i), values(i)
  Next
  xml_line String(indent, vbTab) & "</" & record & ">"
End Sub

' Saves the document to outfilename, replacing an older file; a failure to save is swallowed.
Sub xml_save()
  Dim file, key
  On Error Resume Next
  If xml_stream Is Nothing Then
    Set file = fso.CreateTextFile(outfilename, True, True)
    For Each key In xml_pieces.Keys
      file.Write xml_pieces(key)
    Next
    file.Write xml_piece
    file.Close
  Else
    xml_stream.SaveToFile outfilename, 2    ' adSaveCreateOverWrite
    xml_stream.Close
  End If
  Err.Clear
End Sub

' Registry -----------------------------------------------------------------------------------------
'
' Values and key lists of HKLM come from StdRegProv; `view` 64 asks for the 64-bit registry through a
' connection whose context requires the 64-bit provider, so that a 32-bit host sees it too, and 0 is
' the host's own view. Where StdRegProv's methods cannot be called, values are read through
' WScript.Shell's RegRead and key lists from "reg export" of the key into a temporary file (the
' 64-bit view with /reg:64), which reg.exe writes as Unicode text.

If struser = "" Then
  Set reg_provider = GetObject("winmgmts:{impersonationLevel=impersonate}!\\" & strcomputer & "\root\default:StdRegProv")
Else
  Set reg_locator = CreateObject("WbemScripting.SWbemLocator")
  Set reg_provider = reg_locator.ConnectServer(strcomputer, "root\default", struser, strpass, "", "", 128).Get("StdRegProv")
End If
Set reg_context = CreateObject("WbemScripting.SWbemNamedValueSet")
reg_context.Add "__ProviderArchitecture", 64
reg_context.Add "__RequiredArchitecture", True
Set reg_locator64 = CreateObject("WbemScripting.SWbemLocator")
Set reg_provider64 = reg_locator64.ConnectServer(strcomputer, "root\default", struser, strpass, "", "", 128, reg_context).Get("StdRegProv")

' The out-parameters of the StdRegProv method `method` on HKLM `path` (and the value `name` when it
' is not ""), or Nothing when the call fails or returns non-zero.
Function reg_call(view, method, path, name)
  Dim provider, params, result
  Set reg_call = Nothing
  On Error Resume Next
  If view = 64 Then Set provider = reg_provider64 Else Set provider = reg_provider
  Set params = provider.Methods_(method).InParameters.SpawnInstance_()
  params.hDefKey = HKEY_LOCAL_MACHINE
  params.sSubKeyName = path
  If name <> "" Then params.sValueName = name
  If view = 64 Then
    Set result = provider.ExecMethod_(method, params, , reg_context)
  Else
    Set result = provider.ExecMethod_(method, params)
  End If
  If Err.Number = 0 Then
    If result.ReturnValue = 0 Then Set reg_call = result
  End If
  Err.Clear
End Function

reg_native = Not (reg_call(0, "EnumKey", "SOFTWARE", "") Is Nothing)

' A string or number value, or Null when it is missing.
Function reg_value(view, path, name)
  Dim result
  reg_value = Null
  If reg_native Then
    Set result = reg_call(view, "GetStringValue", path, name)
    If Not result Is Nothing Then
      reg_value = result.sValue
      Exit Function
    End If
    Set result = reg_call(view, "GetDWORDValue", path, name)
    If Not result Is Nothing Then
      reg_value = result.uValue
      Exit Function
    End If
    Set result = reg_call(view, "GetExpandedStringValue", path, name)
    If Not result Is Nothing Then reg_value = result.sValue
  Else
    reg_value = shell_reg_read(path, name)
    If IsArray(reg_value) Then reg_value = Null
  End If
End Function

' A binary value as an array of bytes, or Null when it is missing.
Function reg_binary(view, path, name)
  Dim result
  reg_binary = Null
  If reg_native Then
    Set result = reg_call(view, "GetBinaryValue", path, name)
    If Not result Is Nothing Then reg_binary = result.uValue
  Else
    reg_binary = shell_reg_read(path, name)
  End If
  If Not IsArray(reg_binary) Then reg_binary = Null
End Function

' The names of the subkeys (keys True) or of the values of a key, or Null when the key does not exist.
Function reg_names(view, path, keys)
  Dim result, method
  reg_names = Null
  If reg_native Then
    If keys Then method = "EnumKey" Else method = "EnumValues"
    Set result = reg_call(view, method, path, "")
    If result Is Nothing Then Exit Function
    reg_names = result.sNames
    If IsNull(reg_names) Then reg_names = Array()
  Else
    reg_names = export_names(view, path, keys)
  End If
End Function

Function reg_subkeys(view, path)
  reg_subkeys = reg_names(view, path, True)
End Function

Function reg_value_names(view, path)
  reg_value_names = reg_names(view, path, False)
End Function

Function reg_key_exists(view, path)
  Dim command
  If reg_native Then
    reg_key_exists = Not (reg_call(view, "EnumKey", path, "") Is Nothing)
  Else
    command = "reg query ""HKLM\" & path & """"
    If view = 64 Then command = command & " /reg:64"
    reg_key_exists = (shell.Run(command, 0, True) = 0)
  End If
End Function

' RegRead of a value of HKLM (the host's own view), or Null when it is missing.
Function shell_reg_read(path, name)
  On Error Resume Next
  shell_reg_read = Null
  shell_reg_read = shell.RegRead("HKLM\" & path & "\" & name)
  Err.Clear
End Function

' From "reg export" of HKLM `path`: the names of its subkeys (`subkeys` True) or of its values, or
' Null when the key cannot be exported (it does not exist). The export is UTF-16 text: key lines
' "[HKEY_LOCAL_MACHINE\<path>\<name>]", value lines "<quoted name>=<data>" below their key.
Function export_names(view, path, subkeys)
  Dim file, command, stream, text, header, in_key, names, name
  export_names = Null
  On Error Resume Next
  file = fso.BuildPath(fso.GetSpecialFolder(2), fso.GetTempName)
  command = "reg export ""HKLM\" & path & """ """ & file & """ /y"
  If view = 64 Then command = command & " /reg:64"
  If shell.Run(command, 0, True) <> 0 Or Err.Number <> 0 Then
    If fso.FileExists(file) Then fso.DeleteFile file
    Err.Clear
    Exit Function
  End If
  Set names = CreateObject("Scripting.Dictionary")
  header = LCase("[HKEY_LOCAL_MACHINE\" & path)
  Set stream = fso.OpenTextFile(file, 1, False, -1)
  Do Until stream.AtEndOfStream
    text = stream.ReadLine
    If Left(text, 1) = "[" Then
      in_key = (LCase(text) = header & "]")
      If subkeys And LCase(Left(text, Len(header) + 1)) = header & "\" Then
        name = Mid(text, Len(header) + 2, Len(text) - Len(header) - 2)
        If name <> "" And InStr(name, "\") = 0 Then names(name) = True
      End If
    ElseIf in_key And Not subkeys And Left(text, 1) = """" Then
      name = export_quoted(text)
      If Not IsNull(name) Then names(name) = True
    End If
  Loop
  stream.Close
  fso.DeleteFile file
  export_names = names.Keys
  Err.Clear
End Function

' The value name at the start of an export line ("name"=...), its \\ and \" escapes undone; Null
' when the quotes do not close.
Function export_quoted(text)
  Dim i, c, name
  export_quoted = Null
  name = ""
  i = 2
  Do While i <= Len(text)
    c = Mid(text, i, 1)
    If c = "\" Then
      name = name & Mid(text, i + 1, 1)
      i = i + 2
    ElseIf c = """" Then
      export_quoted = name
      Exit Function
    Else
      name = name & c
      i = i + 1
    End If
  Loop
End Function

' Name tables --------------------------------------------------------------------------------------

' The family of a caption: the last of these tests that finds its text.
Function os_family_of(caption)
  Dim tests, i, text
  text = Replace(caption, Chr(160), " ")
  tests = Array(" 95", "Windows 95", " 98", "Windows 98", " NT", "Windows NT", "2000", "Windows 2000", _
    " XP", "Windows XP", "2003", "Windows 2003", "Vista", "Windows Vista", "2008", "Windows 2008", _
    "Windows 7", "Windows 7", "Windows 8", "Windows 8", "2012", "Windows 2012")
  os_family_of = ""
  For i = 0 To UBound(tests) Step 2
    If InStr(text, tests(i)) > 0 Then os_family_of = tests(i + 1)
  Next
End Function

' The joined chassis list named by the chassis table; several types (or an unknown one) stay as
' the list itself.
Function chassis_name(joined)
  Dim names
  names = Array("", "Other", "Unknown", "Desktop", "Low Profile Desktop", "Pizza Box", "Mini Tower", "Tower", _
    "Portable", "Laptop", "Notebook", "Hand Held", "Docking Station", "All in One", "sub Notebook", _
    "Space-Saving", "Lunch Box", "Main System Chassis", "Expansion Chassis", "SubChassis", _
    "Bus Expansion Chassis", "Peripheral Chassis", "Storage Chassis", "Rack Mount Chassis", "Sealed-case PC")
  chassis_name = joined
  If joined = "" Then Exit Function
  If InStr(joined, ",") > 0 Then Exit Function
  If Not IsNumeric(joined) Then Exit Function
  If CLng(joined) >= 1 And CLng(joined) <= 24 Then chassis_name = names(CLng(joined))
End Function

Function domain_role_name(role)
  Select Case role
    Case 0 : domain_role_name = "Standalone Workstation"
    Case 1 : domain_role_name = "Workstation"
    Case 2 : domain_role_name = "Standalone Server"
    Case 3 : domain_role_name = "Member Server"
    Case 4 : domain_role_name = "Backup Domain Controller"
    Case 5 : domain_role_name = "Primary Domain Controller"
    Case Else : domain_role_name = ""
  End Select
End Function

' A value of `table` (pairs of key and name), or "" when the key is not in it.
Function table_lookup(table, key)
  Dim i
  table_lookup = ""
  If IsNull(key) Then Exit Function
  For i = 0 To UBound(table) Step 2
    If CStr(table(i)) = CStr(key) Then
      table_lookup = table(i + 1)
      Exit Function
    End If
  Next
End Function

language_table = Array( _
  9, "English", 1025, "Arabic - Saudi Arabia", 1026, "Bulgarian", 1027, "Catalan", _
  1028, "Chinese - Taiwan", 1029, "Czech", 1030, "Danish", 1031, "German - Germany", 1032, "Greek", _
  1033, "English - United States", 1034, "Spanish - Traditional Sort", 1035, "Finnish", _
  1036, "French - France", 1037, "Hebrew", 1038, "Hungarian", 1039, "Icelandic", 1040, "Italian - Italy", _
  1041, "Japanese", 1042, "Korean", 1043, "Dutch - Netherlands", 1044, "Norwegian - Bokmal", _
  1045, "Polish", 1046, "Portuguese - Brazil", 1048, "Romanian", 1049, "Russian", 1050, "Croatian", _
  1051, "Slovak", 1053, "Swedish", 1054, "Thai", 1055, "Turkish", 1057, "Indonesian", 1058, "Ukrainian", _
  1060, "Slovenian", 1061, "Estonian", 1062, "Latvian", 1063, "Lithuanian", 1066, "Vietnamese", _
  1068, "Azeri – Latin", 1081, "Hindi", 1086, "Malay - Malaysia", 1091, "Uzbek – Latin", _
  2052, "Chinese - PRC", 2055, "German - Switzerland", 2057, "English - United Kingdom", _
  2058, "Spanish - Mexico", 2060, "French - Belgium", 2064, "Italian - Switzerland", _
  2067, "Dutch - Belgium", 2070, "Portuguese - Portugal", 2074, "Serbian – Latin", _
  3076, "Chinese - Hong Kong SAR", 3079, "German - Austria", 3081, "English - Australia", _
  3082, "Spanish - International Sort", 3084, "French - Canada", 4105, "English - Canada", _
  4108, "French - Switzerland", 5129, "English - New Zealand", 6153, "English - Ireland", _
  7177, "English - South Africa", 16393, "English - India")

country_table = Array( _
  1, "UNITED STATES", 2, "CANADA", 7, "RUSSIA", 20, "EGYPT", 27, "SOUTH AFRICA", 30, "GREECE", _
  31, "NETHERLANDS", 32, "BELGIUM", 33, "FRANCE", 34, "SPAIN", 36, "HUNGARY", 39, "ITALY", _
  40, "ROMANIA", 41, "SWITZERLAND", 43, "AUSTRIA", 44, "UNITED KINGDOM", 45, "DENMARK", 46, "SWEDEN", _
  47, "NORWAY", 48, "POLAND", 49, "GERMANY", 51, "PERU", 52, "MEXICO", 54, "ARGENTINA", 55, "BRAZIL", _
  56, "CHILE", 57, "COLOMBIA", 58, "VENEZUELA", 60, "MALAYSIA", 61, "AUSTRALIA", 62, "INDONESIA", _
  63, "PHILIPPINES", 64, "NEW ZEALAND", 65, "SINGAPORE", 66, "THAILAND", 81, "JAPAN", 82, "KOREA (SOUTH)", _
  84, "VIETNAM", 86, "CHINA", 90, "TURKEY", 91, "INDIA", 92, "PAKISTAN", 351, "PORTUGAL", 352, "LUXEMBOURG", _
  353, "IRELAND", 354, "ICELAND", 358, "FINLAND", 370, "LITHUANIA", 371, "LATVIA", 372, "ESTONIA", _
  380, "UKRAINE", 385, "CROATIA", 386, "SLOVENIA", 420, "CZECH REPUBLIC", 421, "SLOVAKIA", _
  852, "HONG KONG", 886, "TAIWAN", 966, "SAUDI ARABIA", 971, "UNITED ARAB EMIRATES", 972, "ISRAEL", _
  996, "KYRGYZSTAN")

' Product keys -------------------------------------------------------------------------------------

' The product key in a digital product id: a number of 15 bytes (least significant first) at
' `offset` (52 for Windows, SQL Server and Office up to 2007, 808 for Office 2010 and 2013 and in
' DigitalProductId4), read as 25 digits of base 24 over the key alphabet, in groups of five. In the
' later layout (Windows 8 and Office 2013 onwards) bit 3 of the last byte is set and the first digit
' tells where the key has the letter N, which the alphabet lacks. "" when there is no such number.
Function decode_product_key(bytes, offset)
  Dim alphabet, digits(14), i, j, current, key, later_layout
  alphabet = "BCDFGHJKMPQRTVWXY2346789"
  decode_product_key = ""
  If IsNull(bytes) Then Exit Function
  If UBound(bytes) < offset + 14 Then Exit Function
  For i = 0 To 14
    digits(i) = CInt(bytes(offset + i))
  Next
  later_layout = (digits(14) \ 8) And 1
  digits(14) = digits(14) And &HF7
  key = ""
  For i = 24 To 0 Step -1
    current = 0
    For j = 14 To 0 Step -1
      current = current * 256 + digits(j)
      digits(j) = current \ 24
      current = current Mod 24
    Next
    key = Mid(alphabet, current + 1, 1) & key
  Next
  If later_layout = 1 Then key = Mid(key, 2, current) & "N" & Mid(key, current + 2)
  decode_product_key = Mid(key, 1, 5) & "-" & Mid(key, 6, 5) & "-" & Mid(key, 11, 5) & "-" & _
    Mid(key, 16, 5) & "-" & Mid(key, 21, 5)
End Function

Sub write_key(name, text, release, edition)
  xml_record 2, "key", Array("key_name", "key_text", "key_release", "key_edition"), Array(name, text, release, edition)
End Sub

' The product name of an Office product code by the SKU table of its version: the product's two
' hex digits after the release digits for XP and 2003, the four of the second group from 2007 on.
Function office_product_name(version, code)
  Dim sku, table, year
  Select Case version
    Case "10.0"
      year = "XP"
      sku = UCase(Mid(code, 4, 2))
      table = Array("11", "Microsoft Office XP Professional", "12", "Microsoft Office XP Standard", _
        "13", "Microsoft Office XP Small Business", "14", "Microsoft Office XP Web Server", _
        "15", "Microsoft Access 2002", "16", "Microsoft Excel 2002", "17", "Microsoft FrontPage 2002", _
        "18", "Microsoft PowerPoint 2002", "19", "Microsoft Publisher 2002", "1A", "Microsoft Outlook 2002", _
        "1B", "Microsoft Word 2002", "28", "Microsoft Office XP Professional with FrontPage", _
        "51", "Microsoft Visio Professional 2002", "54", "Microsoft Visio Standard 2002")
    Case "11.0"
      year = "2003"
      sku = UCase(Mid(code, 4, 2))
      table = Array("11", "Microsoft Office Professional Enterprise Edition 2003", _
        "12", "Microsoft Office Standard Edition 2003", "13", "Microsoft Office Basic Edition 2003", _
        "14", "Microsoft Windows SharePoint Services 2.0", "15", "Microsoft Office Access 2003", _
        "16", "Microsoft Office Excel 2003", "17", "Microsoft Office FrontPage 2003", _
        "18", "Microsoft Office PowerPoint 2003", "19", "Microsoft Office Publisher 2003", _
        "1A", "Microsoft Office Outlook Professional 2003", "1B", "Microsoft Office Word 2003", _
        "CA", "Microsoft Office Small Business Edition 2003", "E3", "Microsoft Office Professional Edition 2003", _
        "51", "Microsoft Office Visio Professional 2003", "53", "Microsoft Office Visio Standard 2003")
    Case "12.0"
      year = "2007"
      sku = UCase(Mid(code, 11, 4))
      table = Array("0011", "Microsoft Office Professional Plus 2007", "0012", "Microsoft Office Standard 2007", _
        "0013", "Microsoft Office Basic 2007", "0014", "Microsoft Office Professional 2007", _
        "0015", "Microsoft Office Access 2007", "0016", "Microsoft Office Excel 2007", _
        "0018", "Microsoft Office PowerPoint 2007", "0019", "Microsoft Office Publisher 2007", _
        "001A", "Microsoft Office Outlook 2007", "001B", "Microsoft Office Word 2007", _
        "002E", "Microsoft Office Ultimate 2007", "002F", "Microsoft Office Home and Student 2007", _
        "0030", "Microsoft Office Enterprise 2007", "0031", "Microsoft Office Professional Hybrid 2007", _
        "0033", "Microsoft Office Personal 2007", "0035", "Microsoft Office Professional Hybrid 2007", _
        "0051", "Microsoft Office Visio Professional 2007", "0053", "Microsoft Office Visio Standard 2007", _
        "00CA", "Microsoft Office Small Business 2007")
    Case "14.0"
      year = "2010"
      sku = UCase(Mid(code, 11, 4))
      table = Array("0011", "Microsoft Office Professional Plus 2010", "0012", "Microsoft Office Standard 2010", _
        "0013", "Microsoft Office Home and Business 2010", "0014", "Microsoft Office Professional 2010", _
        "0015", "Microsoft Access 2010", "0016", "Microsoft Excel 2010", "0018", "Microsoft PowerPoint 2010", _
        "0019", "Microsoft Publisher 2010", "001A", "Microsoft Outlook 2010", "001B", "Microsoft Word 2010", _
        "002F", "Microsoft Office Home and Student 2010", "003B", "Microsoft Project Professional 2010", _
        "0057", "Microsoft Visio 2010", "00CA", "Microsoft Office Small Business Basics 2010")
    Case "15.0"
      year = "2013"
      sku = UCase(Mid(code, 11, 4))
      table = Array("0011", "Microsoft Office Professional Plus 2013", "0012", "Microsoft Office Standard 2013", _
        "0013", "Microsoft Office Home and Business 2013", "0014", "Microsoft Office Professional 2013", _
        "0015", "Microsoft Access 2013", "0016", "Microsoft Excel 2013", "0018", "Microsoft PowerPoint 2013", _
        "0019", "Microsoft Publisher 2013", "001A", "Microsoft Outlook 2013", "001B", "Microsoft Word 2013", _
        "002F", "Microsoft Office Home and Student 2013", "003B", "Microsoft Project Professional 2013", _
        "0051", "Microsoft Visio Professional 2013", "0053", "Microsoft Visio Standard 2013")
  End Select
  office_product_name = table_lookup(table, sku)
  If office_product_name = "" Then office_product_name = "Microsoft Office " & year
End Function

Function office_release(character)
  Select Case UCase(character)
    Case "0" : office_release = "Any release before Beta 1"
    Case "1" : office_release = "Beta 1"
    Case "2" : office_release = "Beta 2"
    Case "3" : office_release = "RC0"
    Case "4" : office_release = "RC1/OEM Preview Release"
    Case "5", "6", "7", "8" : office_release = "Reserved - Not Defined by Microsoft"
    Case "9" : office_release = "RTM (first shipped version)"
    Case "A" : office_release = "SR1 (unused if the product code is not changed after RTM)"
    Case "B" : office_release = "SR2 (unused if the product code is not changed after RTM)"
    Case "C" : office_release = "SR3 (unused if the product code is not changed after RTM)"
    Case Else : office_release = ""
  End Select
End Function

Function office_edition(character)
  Select Case character
    Case "0" : office_edition = "Enterprise"
    Case "1" : office_edition = "Retail/OEM"
    Case "2" : office_edition = "Trial"
    Case Else : office_edition = ""
  End Select
End Function

' Packages -----------------------------------------------------------------------------------------

package_names = Array("software_name", "software_version", "software_location", "software_uninstall", _
  "software_install_date", "software_publisher", "software_install_source", "software_system_component", _
  "software_url", "software_email", "software_comment", "software_code_base", "software_status")
installed_package_names = Array("software_name", "software_version", "software_location", "software_uninstall", _
  "software_install_date", "software_publisher", "software_install_source", "software_system_component", _
  "software_url", "software_email", "software_comment", "software_code_base", "software_status", _
  "software_installed_by", "software_installed_on")

' The installation events read last (read_install_events), by number.
Set install_events = CreateObject("Scripting.Dictionary")

Sub write_package(name, version, location, install_date, publisher, url_info, comment)
  xml_record 2, "package", package_names, _
    Array(name, version, location, "", install_date, publisher, "", "", url_info, "", comment, "", "")
End Sub

' A package of a source that installation events can name: the user and time of the first event
' whose product text starts with the package's name.
Sub write_installed_package(name, version, location, install_date, publisher, install_source, _
    system_component, url_info, comment, installed_by)
  Dim key, entry, by, on_time
  by = ""
  on_time = ""
  For Each key In install_events.Keys
    entry = install_events(key)
    If Left(entry(0), Len(name)) = name Then
      by = entry(1)
      on_time = entry(2)
      Exit For
    End If
  Next
  If Not IsNull(installed_by) Then by = installed_by
  xml_record 2, "package", installed_package_names, Array(name, version, location, "", install_date, publisher, _
    install_source, system_component, url_info, "", comment, "", "", by, on_time)
End Sub

' The Application log's installation events (code 11707): the product text of the message (between
' its first ":" and its first "--", without blanks around it), the user lower-cased and the time.
' A log that cannot be read gives no events, and the packages no user and time.
Sub read_install_events()
  Dim item, message, first, last
  install_events.RemoveAll
  On Error Resume Next
  For Each item In objWMIService.ExecQuery("Select Message, User, TimeGenerated from Win32_NTLogEvent " & _
      "where Logfile = 'Application' and EventCode = 11707", , WMI_FORWARD_ONLY)
    message = item.Message
    If IsNull(message) Then message = ""
    first = InStr(message, ":")
    last = InStr(message, "--")
    If last = 0 Then last = Len(message) + 1
    If last > first Then message = Mid(message, first + 1, last - first - 1) Else message = ""
    install_events.Add install_events.Count, Array(Trim(message), lower(item.User), wmi_time_text(item.TimeGenerated))
  Next
  Err.Clear
End Sub

' Every subkey of an uninstall key with a DisplayName that is not empty.
Sub write_uninstall_list(view, path)
  Dim subkeys, subkey, key, name
  subkeys = reg_subkeys(view, path)
  If IsNull(subkeys) Then Exit Sub
  For Each subkey In subkeys
    key = path & "\" & subkey
    name = reg_value(view, key, "DisplayName")
    If Not IsNull(name) Then
      If CStr(name) <> "" Then
        write_installed_package name, reg_value(view, key, "DisplayVersion"), reg_value(view, key, "InstallLocation"), _
          reg_value(view, key, "InstallDate"), reg_value(view, key, "Publisher"), reg_value(view, key, "InstallSource"), _
          reg_value(view, key, "SystemComponent"), reg_value(view, key, "URLInfoAbout"), "", Null
      End If
    End If
  Next
End Sub

' The installer's products; a query that fails leaves the list empty.
Sub write_installer_products()
  Dim item, url_info, install_source
  On Error Resume Next
  For Each item In objWMIService.ExecQuery("Select * from Win32_Product", , WMI_FORWARD_ONLY)
    url_info = ""
    install_source = ""
    If later_family Then
      url_info = item.URLUpdateInfo
      install_source = item.InstallSource
    End If
    write_installed_package item.Name, item.Version, item.InstallLocation, item.InstallDate, item.Vendor, _
      install_source, "", url_info, "", Null
  Next
  Err.Clear
End Sub

' The ODBC drivers of a driver list key marked "Installed", with their version and library.
Sub write_odbc_drivers(root)
  Dim names, name, data
  names = reg_value_names(0, root & "\ODBC Drivers")
  If IsNull(names) Then Exit Sub
  For Each name In names
    data = reg_value(0, root & "\ODBC Drivers", name)
    If Not IsNull(data) Then
      If CStr(data) = "Installed" Then
        write_package name, reg_value(0, root & "\" & name, "DriverODBCVer"), reg_value(0, root & "\" & name, "Driver"), _
          "", "", "", "odbc driver"
      End If
    End If
  Next
End Sub

Function directx_name(version)
  directx_name = table_lookup(Array("4.07.00.0700", "DirectX 7", "4.08.01.0810", "DirectX 8.1", _
    "4.08.01.0881", "DirectX 8.1", "4.08.01.0901", "DirectX 8.1b", "4.08.02.0134", "DirectX 8.2", _
    "4.09.00.0900", "DirectX 9", "4.09.00.0901", "DirectX 9a", "4.09.00.0902", "DirectX 9b", _
    "4.09.00.0903", "DirectX 9c", "4.09.00.0904", "DirectX 9c", "6.00.6000", "DirectX 10", _
    "6.00.6001", "DirectX 10.1", "6.00.6002", "DirectX 11", "6.01.7600", "DirectX 11", _
    "6.01.7601", "DirectX 11", "6.02.8250", "DirectX 11.1"), version)
  If directx_name = "" Then directx_name = "DirectX (unknown version)"
End Function

' Directory ----------------------------------------------------------------------------------------

' The distinguished name of this computer's object below `base` without its first component, or ""
' when the search finds none.
Function directory_ou(base)
  Dim connection, command, records, dn, parts, i
  directory_ou = ""
  On Error Resume Next
  Set connection = CreateObject("ADODB.Connection")
  connection.Provider = "ADsDSOObject"
  connection.Open "Active Directory Provider"
  Set command = CreateObject("ADODB.Command")
  Set command.ActiveConnection = connection
  command.CommandText = "<" & base & ">;(&(objectCategory=computer)(name=" & hostname & "));distinguishedName;subtree"
  Set records = command.Execute
  If Err.Number = 0 Then
    If Not records.EOF Then
      ' Commas escaped as "\," belong to a component.
      parts = Split(Replace(records.Fields("distinguishedName").Value, "\,", Chr(1)), ",")
      For i = 1 To UBound(parts)
        If i > 1 Then directory_ou = directory_ou & ","
        directory_ou = directory_ou & Replace(parts(i), Chr(1), "\,")
      Next
    End If
  End If
  connection.Close
  Err.Clear
End Function

' For a member of a domain: the domain's NetBIOS name, its controller and site (Win32_NTDomain) and
' the directory path of this computer. When the name translation cannot be set up or cannot
' translate the domain, these stay empty.
Sub read_domain()
  Dim translate, full_name, netbios, item
  windows_domain_short = ""
  On Error Resume Next
  Set translate = CreateObject("NameTranslate")
  translate.Init 3, ""                                  ' ADS_NAME_INITTYPE_GC
  translate.Set 1, "DC=" & Replace(domain, ".", ",DC=") ' ADS_NAME_TYPE_1779
  full_name = translate.Get(1)
  netbios = translate.Get(3)                            ' ADS_NAME_TYPE_NT4: "DOMAIN\"
  If Err.Number <> 0 Then
    Err.Clear
    Exit Sub
  End If
  windows_domain_short = Left(netbios, Len(netbios) - 1)
  For Each item In objWMIService.ExecQuery("Select * from Win32_NTDomain where DomainName = '" & _
      windows_domain_short & "'", , WMI_FORWARD_ONLY)
    windows_client_site_name = item.ClientSiteName
    windows_domain_controller_address = Replace(item.DomainControllerAddress, "\\", "")
    windows_domain_controller_name = Replace(item.DomainControllerName, "\\", "")
  Next
  windows_active_directory_ou = directory_ou("GC://" & full_name)
  If windows_active_directory_ou = "" Then windows_active_directory_ou = directory_ou("LDAP://" & full_name)
  If windows_active_directory_ou = "" Then windows_active_directory_ou = full_name
  Err.Clear
End Sub

' The last user to log on, as user@domain (the host name for the local domain "."), or the user alone
' without a domain.
Function last_user()
  Dim path, user, user_domain, default_domain, at
  If CLng(build_number) > 5000 Then
    path = "software\microsoft\windows\currentversion\authentication\logonui"
    user = reg_value(0, path, "lastloggedonuser")
    If IsNull(user) Then user = reg_value(0, path, "lastloggedonsamuser")
    If IsNull(user) Then user = ""
    user_domain = ""
    at = InStr(user, "\")
    If at > 0 Then
      user_domain = Left(user, at - 1)
      user = Mid(user, at + 1)
    End If
  Else
    path = "software\microsoft\windows nt\currentversion\winlogon"
    user = reg_value(0, path, "DefaultUserName")
    If IsNull(user) Then user = ""
    default_domain = reg_value(0, path, "DefaultDomainName")
    user_domain = ""
    at = InStr(user, "\")
    If at > 0 Then
      user_domain = Left(user, at - 1)
      user = Mid(user, at + 1)
    End If
    If Not IsNull(default_domain) Then
      If default_domain <> "" Then
        user_domain = default_domain
      ElseIf user_domain = "" Then
        user_domain = hostname
      End If
    End If
  End If
  If user_domain = "." Then user_domain = hostname
  If user = "" Or user_domain = "" Then last_user = lower(user) Else last_user = lower(user & "@" & user_domain)
End Function

' Connection ---------------------------------------------------------------------------------------

If struser = "" Then
  Set objWMIService = GetObject("winmgmts:{impersonationLevel=impersonate}!\\" & strcomputer & "\root\cimv2")
Else
  Set wmi_locator = CreateObject("WbemScripting.SWbemLocator")
  Set objWMIService = wmi_locator.ConnectServer(strcomputer, "root\cimv2", struser, strpass, "", "", 128)
  objWMIService.Security_.ImpersonationLevel = 3
End If

' The machine's facts ------------------------------------------------------------------------------

For Each item In objWMIService.ExecQuery("Select * from Win32_OperatingSystem", , WMI_FORWARD_ONLY)
  os_caption = item.Caption
  os_version = item.Version
  build_number = item.BuildNumber
  os_description = optional_property(item, "Description")
  os_name_parts = Split(item.Name, "|")
  os_install_date = wmi_date(item.InstallDate)
  os_boot_device = item.BootDevice
  os_country_code = item.CountryCode
  os_organisation = item.Organization
  os_language = item.OSLanguage
  os_registered_user = item.RegisteredUser
  os_service_pack = item.ServicePackMajorVersion
Next
os_name = Replace(os_caption, "(R)", "")
os_family = os_family_of(os_caption)
later_family = (os_family = "Windows 2008" Or os_family = "Windows 7" Or os_family = "Windows Vista" Or _
  os_family = "Windows 8" Or os_family = "Windows 2012")

For Each item In objWMIService.ExecQuery("Select * from Win32_ComputerSystem", , WMI_FORWARD_ONLY)
  computer_name = item.Name
  domain = item.Domain
  model = item.Model
  domain_role = item.DomainRole
  part_of_domain = optional_property(item, "PartOfDomain")
  processors = optional_property(item, "NumberOfLogicalProcessors")
  If IsNull(processors) Then processors = 0
  If processors = 0 Then processors = item.NumberOfProcessors
Next

For Each item In objWMIService.ExecQuery("Select * from Win32_ComputerSystemProduct", , WMI_FORWARD_ONLY)
  uuid = item.UUID
  serial = item.IdentifyingNumber
  manufacturer = item.Vendor
Next

hostname = Null
For Each item In objWMIService.ExecQuery("Select * from Win32_NetworkAdapterConfiguration", , WMI_FORWARD_ONLY)
  If IsNull(hostname) Then hostname = item.DNSHostName
Next
If IsNull(hostname) Then hostname = computer_name
hostname = lower(hostname)

memory = 0
For Each item In objWMIService.ExecQuery("Select * from Win32_PhysicalMemory", , WMI_FORWARD_ONLY)
  If Not IsNull(item.Capacity) Then memory = memory + Fix(CDbl(item.Capacity) / 1024)
Next

' The enclosure's chassis types joined with ","; Wine's provider hands out a list the script cannot
' read, which gives an empty text.
Function chassis_types(item)
  Dim types, entry, count
  On Error Resume Next
  chassis_types = ""
  count = 0
  types = item.ChassisTypes
  For Each entry In types
    If count > 0 Then chassis_types = chassis_types & ","
    chassis_types = chassis_types & entry
    count = count + 1
  Next
  Err.Clear
End Function

form_factor = ""
For Each item In objWMIService.ExecQuery("Select * from Win32_SystemEnclosure", , WMI_FORWARD_ONLY)
  form_factor = chassis_name(chassis_types(item))
Next

os_bit = ""
For Each item In objWMIService.ExecQuery("Select * from Win32_Processor where DeviceID = 'CPU0'", , WMI_FORWARD_ONLY)
  os_bit = item.AddressWidth
Next

uptime = ""
If CLng(build_number) > 2195 Then
  For Each item In objWMIService.ExecQuery("Select * from Win32_PerfFormattedData_PerfOS_System", , WMI_FORWARD_ONLY)
    uptime = item.SystemUpTime
  Next
End If

windows_domain_short = "workgroup"
windows_client_site_name = ""
windows_domain_controller_address = ""
windows_domain_controller_name = ""
windows_active_directory_ou = ""
If domain_role = 1 Or domain_role = 3 Or domain_role = 4 Or domain_role = 5 Then read_domain

time_caption = ""
time_daylight = ""
For Each item In objWMIService.ExecQuery("Select * from Win32_TimeZone", , WMI_FORWARD_ONLY)
  time_caption = item.Caption
  time_daylight = item.DaylightName
Next

now_time = Now
timestamp = Year(now_time) & "-" & two_digits(Month(now_time)) & "-" & two_digits(Day(now_time)) & " " & _
  two_digits(Hour(now_time)) & ":" & two_digits(Minute(now_time)) & ":" & two_digits(Second(now_time))

' sys ----------------------------------------------------------------------------------------------

xml_line "<?xml version=""1.0"" encoding=""UTF-8""?>"
xml_line "<system>"
xml_line vbTab & "<sys>"
xml_leaf 2, "timestamp", timestamp
xml_leaf 2, "uuid", uuid
xml_leaf 2, "hostname", hostname
xml_leaf 2, "domain", lower(domain)
xml_leaf 2, "description", lower(os_description)
xml_leaf 2, "type", "computer"
xml_line vbTab & vbTab & "<icon>" & LCase(Replace(os_family, " ", "_")) & "</icon>"
xml_leaf 2, "os_group", "Windows"
xml_leaf 2, "os_family", os_family
xml_leaf 2, "os_name", os_name
xml_leaf 2, "os_version", os_version
xml_leaf 2, "serial", serial
xml_leaf 2, "model", model
xml_leaf 2, "manufacturer", manufacturer
xml_leaf 2, "uptime", uptime
xml_leaf 2, "form_factor", form_factor
xml_leaf 2, "pc_os_bit", os_bit
xml_leaf 2, "pc_memory", memory
xml_leaf 2, "pc_num_processor", processors
xml_leaf 2, "pc_date_os_installation", os_install_date
xml_leaf 2, "man_org_id", org_id
xml_line vbTab & "</sys>"

' windows ------------------------------------------------------------------------------------------

windows_part_of_domain = ""
If CLng(build_number) > 2195 Then windows_part_of_domain = part_of_domain
windows_install_directory = ""
If UBound(os_name_parts) >= 1 Then windows_install_directory = os_name_parts(1)

xml_line vbTab & "<windows>"
xml_leaf 2, "windows_build_number", build_number
xml_leaf 2, "windows_user_name", last_user()
xml_leaf 2, "windows_client_site_name", windows_client_site_name
xml_leaf 2, "windows_domain_short", windows_domain_short
xml_leaf 2, "windows_domain_controller_address", windows_domain_controller_address
xml_leaf 2, "windows_domain_controller_name", windows_domain_controller_name
xml_leaf 2, "windows_domain_role", domain_role_name(domain_role)
xml_leaf 2, "windows_part_of_domain", windows_part_of_domain
xml_leaf 2, "windows_id_number", serial
xml_leaf 2, "windows_time_caption", time_caption
xml_leaf 2, "windows_time_daylight", time_daylight
xml_leaf 2, "windows_boot_device", os_boot_device
xml_leaf 2, "windows_country_code", table_lookup(country_table, os_country_code)
xml_leaf 2, "windows_organisation", os_organisation
xml_leaf 2, "windows_language", table_lookup(language_table, os_language)
xml_leaf 2, "windows_registered_user", os_registered_user
xml_leaf 2, "windows_service_pack", os_service_pack
xml_leaf 2, "windows_version", os_version
xml_leaf 2, "windows_install_directory", windows_install_directory
xml_leaf 2, "windows_active_directory_ou", lower(windows_active_directory_ou)
xml_line vbTab & "</windows>"

' users: the local accounts and the three service accounts; a domain controller has none -------------

user_names = Array("user_name", "user_caption", "user_sid", "user_domain", "user_disabled", "user_full_name", _
  "user_password_changeable", "user_password_expires", "user_password_required", "user_status", "user_type")
If domain_role < 4 Then
  xml_line vbTab & "<users>"
  For Each item In objWMIService.ExecQuery("Select * from Win32_UserAccount where Domain = '" & hostname & "'", , _
      WMI_FORWARD_ONLY)
    xml_record 2, "user", user_names, Array(item.Name, item.Caption, item.SID, item.Domain, item.Disabled, _
      item.FullName, item.PasswordChangeable, item.PasswordExpires, item.PasswordRequired, item.Status, "local")
  Next
  For Each service_account In Array("LocalSystem", "NT AUTHORITY\LocalService", "NT AUTHORITY\NetworkService")
    If service_account = "LocalSystem" Then caption = hostname & "\LocalSystem" Else caption = service_account
    xml_record 2, "user", user_names, Array(service_account, caption, "", UCase(hostname), "False", "LocalSystem", _
      "False", "False", "False", "OK", "local")
  Next
  xml_line vbTab & "</users>"
End If

' software -----------------------------------------------------------------------------------------

If skip_software = "n" Then
  xml_line vbTab & "<software>"

  ' Codecs not made by Microsoft.
  For Each item In objWMIService.ExecQuery("Select * from Win32_CodecFile", , WMI_FORWARD_ONLY)
    If item.Manufacturer <> "Microsoft Corporation" Or IsNull(item.Manufacturer) Then
      write_package item.Group & " - " & item.Filename, item.Version, item.Caption, item.InstallDate, _
        item.Manufacturer, "", "codec"
    End If
  Next

  ' ODBC drivers, the 32-bit ones too.
  write_odbc_drivers "SOFTWARE\ODBC\ODBCINST.INI"
  If reg_key_exists(0, "SOFTWARE\Wow6432Node\ODBC\ODBCINST.INI\ODBC Drivers") Then
    write_odbc_drivers "SOFTWARE\Wow6432Node\ODBC\ODBCINST.INI"
  End If

  ' Components that come with Windows.
  If build_number = "6000" Then dac_name = "Windows DAC" Else dac_name = "MDAC"
  write_package dac_name, reg_value(0, "SOFTWARE\Microsoft\DataAccess", "Version"), "", os_install_date, _
    "Microsoft Corporation", "http://msdn.microsoft.com/data/", ""

  directx_version = reg_value(0, "SOFTWARE\Microsoft\DirectX", "Version")
  If os_version > "6" Then directx_version = os_version
  If IsNull(directx_version) Then directx_version = ""
  For Each short_version In Array("6.0.", "6.1.", "6.2.")
    If Left(directx_version, 4) = short_version Then
      directx_version = Left(short_version, 2) & "0" & Mid(short_version, 3) & Mid(directx_version, 5)
    End If
  Next
  write_package directx_name(directx_version), directx_version, "", os_install_date, "Microsoft Corporation", _
    "http://www.microsoft.com/windows/directx/", ""

  write_package "Windows Media Player", reg_value(0, "SOFTWARE\Microsoft\MediaPlayer\PlayerUpgrade", "PlayerVersion"), _
    "", os_install_date, "Microsoft Corporation", "http://www.microsoft.com/windows/windowsmedia/", ""
  write_package "Internet Explorer", reg_value(0, "SOFTWARE\Microsoft\Internet Explorer", "Version"), "", _
    os_install_date, "Microsoft Corporation", "http://www.microsoft.com/windows/ie/", ""

  ' Outlook Express: its registered version, else the version of its program file. The file is looked
  ' for first: a provider that cannot look a file up by name (Wine's) would go through every file.
  outlook_version = reg_value(0, "SOFTWARE\Microsoft\Outlook Express\Version info", "Current")
  outlook_program = "c:\program files\outlook express\msimn.exe"
  If IsNull(outlook_version) And fso.FileExists(outlook_program) Then
    For Each item In objWMIService.ExecQuery("Select * from CIM_Datafile where Name = '" & _
        Replace(outlook_program, "\", "\\") & "'", , WMI_FORWARD_ONLY)
      write_package "Outlook Express", item.Version, "", os_install_date, "Microsoft Corporation", _
        "http://www.microsoft.com/windows/oe/", ""
    Next
  ElseIf Not IsNull(outlook_version) Then
    write_package "Outlook Express", Replace(outlook_version, ",", "."), "", os_install_date, _
      "Microsoft Corporation", "http://www.microsoft.com/windows/oe/", ""
  End If

  ' The uninstall registry, the installer's products, the 32-bit uninstall registry and the 64-bit view
  ' of the uninstall registry.
  uninstall_key = "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
  wow6432_uninstall_key = "SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall"
  read_install_events
  xml_line vbTab & vbTab & "<!-- start of normal software -->"
  write_uninstall_list 0, uninstall_key
  xml_line vbTab & vbTab & "<!-- end of normal -->"

  If reg_key_exists(0, "SOFTWARE\Wow6432Node") Then
    xml_line vbTab & vbTab & "<!-- start of 64 #1 -->"
    write_installer_products
  End If
  xml_line vbTab & vbTab & "<!-- end of 64 #1 -->"

  If reg_key_exists(0, wow6432_uninstall_key) Then
    read_install_events
    xml_line vbTab & vbTab & "<!-- start of 64 #2 -->"
    write_uninstall_list 0, wow6432_uninstall_key
  End If
  xml_line vbTab & vbTab & "<!-- end of 64 #2 -->"

  xml_line vbTab & vbTab & "<!-- end of 64 #3 -->"
  write_uninstall_list 64, uninstall_key

  ' Hotfixes.
  If later_family Then
    For Each item In objWMIService.ExecQuery("Select * from Win32_QuickFixEngineering", , WMI_FORWARD_ONLY)
      write_installed_package item.HotFixID, "", "", item.InstalledOn, "Microsoft", "", "", item.Caption, "update", _
        lower(item.InstalledBy)
    Next
  End If

  xml_line vbTab & "</software>"
End If

' software_keys ------------------------------------------------------------------------------------

xml_line vbTab & "<software_keys>"

' Windows: its own product id, else the ones of the 64-bit view.
windows_path = "SOFTWARE\Microsoft\Windows NT\CurrentVersion"
windows_id = reg_binary(0, windows_path, "DigitalProductId")
windows_key = decode_product_key(windows_id, 52)
If windows_key = "" Then windows_key = decode_product_key(reg_binary(64, windows_path, "DigitalProductID"), 52)
If windows_key = "" Then windows_key = decode_product_key(reg_binary(64, windows_path, "DigitalProductID4"), 808)
If windows_key <> "" Then write_key os_name, windows_key, build_number, os_version

' Office XP to 2013, 64-bit and 32-bit.
office_versions = Array("10.0", "11.0", "12.0", "14.0", "15.0")
For Each office_root In Array("SOFTWARE\Microsoft\Office", "SOFTWARE\Wow6432Node\Microsoft\Office")
  installed_versions = reg_subkeys(0, office_root)
  If Not IsNull(installed_versions) Then
    For Each office_version In installed_versions
      If office_version = "10.0" Or office_version = "11.0" Or office_version = "12.0" Or _
          office_version = "14.0" Or office_version = "15.0" Then
        registration = office_root & "\" & office_version & "\Registration"
        product_codes = reg_subkeys(0, registration)
        If Not IsNull(product_codes) Then
          For Each product_code In product_codes
            office_id = reg_binary(0, registration & "\" & product_code, "DigitalProductId")
            If office_version = "14.0" Or office_version = "15.0" Then offset = 808 Else offset = 52
            office_key = decode_product_key(office_id, offset)
            If office_key <> "" Then
              write_key office_product_name(office_version, product_code), office_key, _
                office_release(Mid(product_code, 2, 1)), office_edition(Mid(product_code, 3, 1))
            End If
          Next
        End If
      End If
    Next
  End If
Next

' SQL Server 2005.
sql_id = reg_binary(0, "SOFTWARE\Microsoft\Microsoft SQL Server\90\ProductID", "DigitalProductID77591")
If IsNull(sql_id) Then sql_id = reg_binary(0, "SOFTWARE\Microsoft\Microsoft SQL Server\MSSQL10.MSSQLSERVER\Setup", "DigitalProductID")
sql_key = decode_product_key(sql_id, 52)
If sql_key <> "" Then
  write_key "Microsoft SQL Server 2005", sql_key, "", _
    reg_value(0, "SOFTWARE\Microsoft\Microsoft SQL Server\MSSQL.1\Setup", "Edition")
End If

' Acrobat 6 keeps its serial number as it is.
acrobat_serial = reg_value(0, "SOFTWARE\Adobe\Adobe Acrobat\6.0\Registration", "SERIAL")
If Not IsNull(acrobat_serial) Then write_key "Adobe Acrobat 6", acrobat_serial, "", "6.0"

xml_line vbTab & "</software_keys>"

xml_write "</system>"
If create_file = "y" Then xml_save
