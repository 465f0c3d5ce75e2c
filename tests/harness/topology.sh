#!/bin/sh
# Load a realistic device topology into the running server ($PULSE_SERVER must be set): null sinks carrying
# the properties real ALSA and bluez sinks carry (but no ports), a microphone (a source only); the laptop
# speaker becomes the default sink.
set -eu
L() { timeout 5 pactl load-module "$@" >/dev/null; }
# sink NAME RATE PROPERTIES: a null sink of the sound class.
sink() { L module-null-sink sink_name=$1 rate=$2 "sink_properties='$3 device.class=sound'"; }
# Laptop speaker: Intel HDA on PCI bus 00, so udev marks the card internal.
sink alsa_output.pci-0000_00_1f.3.analog-stereo.speaker 48000 'device.description="内置音频 扬声器" device.api=alsa device.bus=pci device.bus_path=pci-0000:00:1f.3 device.form_factor=internal device.profile.name=analog-stereo device.string=front:0 device.icon_name=audio-card-pci alsa.card_name="HDA Intel PCH"'
# HDMI output of the same card (internal as well: the form factor is per card).
sink alsa_output.pci-0000_00_1f.3.hdmi-stereo 48000 'device.description="Built-in Audio Digital Stereo (HDMI)" device.api=alsa device.bus=pci device.form_factor=internal device.profile.name=hdmi-stereo device.profile.description="Digital Stereo (HDMI)" device.string=hdmi:0 alsa.name="HDMI 0"'
# DisplayPort of a discrete GPU (not on bus 00: no form factor).
sink alsa_output.pci-0000_01_00.1.hdmi-stereo-extra1 48000 'device.description="GA104 High Definition Audio Controller Digital Stereo (HDMI 2)" device.api=alsa device.bus=pci device.profile.name=hdmi-stereo-extra1 device.string=hdmi:1,1 alsa.name="DisplayPort 1"'
sink alsa_output.usb-Logitech_USB_Headset-00.analog-stereo 44100 'device.description="Logitech USB Headset Analog Stereo" device.api=alsa device.bus=usb device.form_factor=headset device.profile.name=analog-stereo device.string=front:2 device.icon_name=audio-headset-usb'
sink bluez_sink.40_EF_4C_39_89_B2.a2dp_sink 44100 'device.description="Razer Leviathan" device.api=bluez device.bus=bluetooth device.form_factor=speaker bluetooth.protocol=a2dp_sink device.string=40:EF:4C:39:89:B2 device.icon_name=audio-speakers-bluetooth'
# Microphone. PulseAudio's module-null-source takes description= but no source_properties=;
# pipewire-pulse has no module-null-source, a null sink with an input media class stands in.
if timeout 5 pactl info | grep -q 'Server Name: PulseAudio (on PipeWire'; then
  L module-null-sink media.class=Audio/Source/Virtual sink_name=alsa_input.pci-0000_00_1f.3.analog-stereo \
    channel_map=front-left,front-right \
    "sink_properties='device.description=\"内置音频 麦克风\" device.class=sound device.api=alsa device.bus=pci device.form_factor=internal'"
else
  L module-null-source source_name=alsa_input.pci-0000_00_1f.3.analog-stereo rate=48000 "description='内置音频 麦克风'"
fi
timeout 5 pactl set-default-sink alsa_output.pci-0000_00_1f.3.analog-stereo.speaker
timeout 5 pactl set-default-source alsa_input.pci-0000_00_1f.3.analog-stereo
