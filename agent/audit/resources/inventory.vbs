' stub
