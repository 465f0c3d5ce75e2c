. "$SONVALE_TESTS/ui/tray_xembed.sh"
