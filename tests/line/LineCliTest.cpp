int LineCliPlaceholder = 0;
