print("sample run: coming soon")
