// The events that the network boot services hand to the application, and
// the one sink type through which they travel.
//
// An event is a dictionary whose "Message" names it. The services build
// their own ("TFTPOpen", "TFTPClose"); the client's installer posts the
// rest over HTTP ("Started", "Progress", "Success", "Failure", "Eject"),
// and those arrive unchanged. Keys and names are constant strings, so a
// consumer compares them as objects or as text alike.
//
//   event        keys besides "Message"
//   TFTPOpen     Filename (string)
//   TFTPClose    Filename (string), Reason (integer status; 0 = whole file sent),
//                Position (string, only after a failed disc read: the drive
//                and sector, "\\.\CdRom0 sector 4660")
//   Progress     Status, Percentage, Remaining (as the installer sends them)
//   Eject        NextDisc (volume name of the disc to insert)
//
// With client events on (SetNetBootClientEvents, for a console server that
// follows many clients; the wizard leaves them off and receives exactly the
// above), every event also names its client by "Client" (its address as
// text, "192.0.2.7"), and these are added:
//
//   event        keys besides "Message" and "Client"
//   TFTPOpen     Filename, Size (file size)
//   TFTPClose    Filename, Reason, Size, Bytes (sent), Milliseconds (since the request),
//                BlockSize, WindowSize (as granted; 512 and 1 without the options)
//   BSDPList     HardwareAddress ("00:16:cb:ab:cd:ef"): a LIST was answered;
//                Image and ImageID (the default listed), Omitted (entries
//                the packet had no room for, when any)
//   BSDPSelect   HardwareAddress, Image, ImageID: a SELECT was answered
//                (without Image when the ID was refused)
//   HTTPRead     Path: the first read of an image on a connection
//   HTTPClose    Bytes (image bytes served), Milliseconds: a connection ended
//   (posted)     the installer's dictionary, copied, with "Client" added
//
// Not here: storing the sink (the service control) or calling it (each
// producer calls the sink it was given).
#pragma once

#include "QxLObject.h"
#include "QxLStatus.h"

QXL_DEFINE_CONSTANT_STRING(kNetBootKeyMessage, "Message");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyFilename, "Filename");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyReason, "Reason");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyStatus, "Status");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyPercentage, "Percentage");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyRemaining, "Remaining");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyNextDisc, "NextDisc");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyClient, "Client");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyHardwareAddress, "HardwareAddress");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeySize, "Size");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyBytes, "Bytes");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyMilliseconds, "Milliseconds");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyPath, "Path");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyPosition, "Position");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyImage, "Image");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyImageID, "ImageID");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyOmitted, "Omitted");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyBlockSize, "BlockSize");
QXL_DEFINE_CONSTANT_STRING(kNetBootKeyWindowSize, "WindowSize");

QXL_DEFINE_CONSTANT_STRING(kNetBootEventTFTPOpen, "TFTPOpen");
QXL_DEFINE_CONSTANT_STRING(kNetBootEventTFTPClose, "TFTPClose");
QXL_DEFINE_CONSTANT_STRING(kNetBootEventStarted, "Started");
QXL_DEFINE_CONSTANT_STRING(kNetBootEventProgress, "Progress");
QXL_DEFINE_CONSTANT_STRING(kNetBootEventSuccess, "Success");
QXL_DEFINE_CONSTANT_STRING(kNetBootEventFailure, "Failure");
QXL_DEFINE_CONSTANT_STRING(kNetBootEventEject, "Eject");
QXL_DEFINE_CONSTANT_STRING(kNetBootEventBSDPList, "BSDPList");
QXL_DEFINE_CONSTANT_STRING(kNetBootEventBSDPSelect, "BSDPSelect");
QXL_DEFINE_CONSTANT_STRING(kNetBootEventHTTPRead, "HTTPRead");
QXL_DEFINE_CONSTANT_STRING(kNetBootEventHTTPClose, "HTTPClose");

// The application's event sink. The event is borrowed: the producer
// releases it after the call, so a sink retains whatever it keeps. The
// result goes back to whoever asked (the HTTP message hook); the TFTP
// server ignores it. Called on the run-loop thread only.
using NetBootEventSink = QxStatus (*)(QxLObjectRef event, void* context);
