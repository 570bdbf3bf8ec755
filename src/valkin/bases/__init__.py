"""The mix-in classes of valkin, one native module each."""
