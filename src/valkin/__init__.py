"""valkin: everyday utility classes for Python programs, implemented natively."""
