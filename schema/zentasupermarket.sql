DROP TABLE IF EXISTS `opcion`;
CREATE TABLE `opcion` (
  `ID` varchar(50) NOT NULL,
  `IntegerValor` int(11) DEFAULT NULL,
  `VarCharValor` varchar(255) DEFAULT NULL,
  `TextValor` text DEFAULT NULL,
  `BlobValor` longblob DEFAULT NULL,
  `EnDeCodeValor` varbinary(255) DEFAULT NULL,
  PRIMARY KEY (`ID`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `articulo`;
CREATE TABLE `articulo` (
  `ArticuloID` varchar(30) NOT NULL,
  `NombreES` varchar(100) DEFAULT NULL,
  `NombreCN` varchar(100) DEFAULT NULL,
  `CodigoBarra` varchar(30) DEFAULT NULL,
  `FamiliaID` int(11) DEFAULT NULL,
  `ProveedorID` int(11) DEFAULT NULL,
  `Precio` decimal(12,2) NOT NULL DEFAULT 0.00,
  `PrecioCosto` decimal(12,2) NOT NULL DEFAULT 0.00,
  `PrecioMayor` decimal(12,2) DEFAULT NULL,
  `CantidadPorUnidad` decimal(12,3) NOT NULL DEFAULT 1.000,
  `CantidadPorUnidad2` decimal(12,3) NOT NULL DEFAULT 1.000,
  `FechaCaducada` date DEFAULT NULL,
  `Nota` text DEFAULT NULL,
  `FechaAlta` datetime DEFAULT NULL,
  PRIMARY KEY (`ArticuloID`),
  KEY `CodigoBarra` (`CodigoBarra`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `articulodibujo`;
CREATE TABLE `articulodibujo` (
  `ArticuloID` varchar(30) NOT NULL,
  `Dibujo` longblob DEFAULT NULL,
  `Fecha` datetime DEFAULT NULL,
  PRIMARY KEY (`ArticuloID`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `articuloeliminado`;
CREATE TABLE `articuloeliminado` (
  `ID` bigint(20) NOT NULL AUTO_INCREMENT,
  `TicketNo` bigint(20) NOT NULL DEFAULT 0,
  `ArticuloID` varchar(30) NOT NULL DEFAULT '',
  `Cantidad` decimal(14,3) NOT NULL DEFAULT 0.000,
  `Precio` decimal(12,2) NOT NULL DEFAULT 0.00,
  `Cajero` varchar(30) DEFAULT NULL,
  `Fecha` datetime NOT NULL,
  PRIMARY KEY (`ID`),
  KEY `Fecha` (`Fecha`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `cliente`;
CREATE TABLE `cliente` (
  `ClienteID` int(11) NOT NULL AUTO_INCREMENT,
  `NombreES` varchar(100) DEFAULT NULL,
  `NombreCN` varchar(100) DEFAULT NULL,
  `Telefono` varchar(30) DEFAULT NULL,
  `Direccion` varchar(200) DEFAULT NULL,
  `Descuento` decimal(5,2) NOT NULL DEFAULT 0.00,
  `Nota` text DEFAULT NULL,
  PRIMARY KEY (`ClienteID`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `gananciadiariototal`;
CREATE TABLE `gananciadiariototal` (
  `Fecha` date NOT NULL,
  `AlmacenID` int(11) NOT NULL DEFAULT 1,
  `Venta` decimal(14,2) NOT NULL DEFAULT 0.00,
  `Coste` decimal(14,2) NOT NULL DEFAULT 0.00,
  `Ganancia` decimal(14,2) NOT NULL DEFAULT 0.00,
  PRIMARY KEY (`Fecha`,`AlmacenID`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `informeespecial`;
CREATE TABLE `informeespecial` (
  `Nombre` varchar(100) NOT NULL,
  `Familia` varchar(50) DEFAULT NULL,
  `ArchivoRPT` longblob DEFAULT NULL,
  PRIMARY KEY (`Nombre`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `ordenadorejecutando`;
CREATE TABLE `ordenadorejecutando` (
  `MysqlID` varchar(20) NOT NULL DEFAULT '',
  `ProgramaID` varchar(30) NOT NULL,
  `OrdenadorNombre` varchar(64) NOT NULL,
  `LoginTiempo` datetime DEFAULT NULL,
  PRIMARY KEY (`ProgramaID`,`OrdenadorNombre`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `proveedor`;
CREATE TABLE `proveedor` (
  `ProveedorID` int(11) NOT NULL AUTO_INCREMENT,
  `NombreES` varchar(100) DEFAULT NULL,
  `NombreCN` varchar(100) DEFAULT NULL,
  `Telefono` varchar(30) DEFAULT NULL,
  `Direccion` varchar(200) DEFAULT NULL,
  `Nota` text DEFAULT NULL,
  PRIMARY KEY (`ProveedorID`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `stock`;
CREATE TABLE `stock` (
  `AlmacenID` int(11) NOT NULL,
  `ArticuloID` varchar(30) NOT NULL,
  `Stock` decimal(14,3) NOT NULL DEFAULT 0.000,
  PRIMARY KEY (`AlmacenID`,`ArticuloID`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `stockcambio`;
CREATE TABLE `stockcambio` (
  `ID` bigint(20) NOT NULL AUTO_INCREMENT,
  `AlmacenID` int(11) NOT NULL,
  `ArticuloID` varchar(30) NOT NULL,
  `Cantidad` decimal(14,3) NOT NULL DEFAULT 0.000,
  `Fecha` datetime DEFAULT NULL,
  `OrdenadorNombre` varchar(64) DEFAULT NULL,
  PRIMARY KEY (`ID`),
  KEY `AlmacenArticulo` (`AlmacenID`,`ArticuloID`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `stockextra`;
CREATE TABLE `stockextra` (
  `ArticuloID` varchar(30) NOT NULL,
  `Stock` decimal(14,3) NOT NULL DEFAULT 0.000,
  PRIMARY KEY (`ArticuloID`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `stockextracambio`;
CREATE TABLE `stockextracambio` (
  `ID` bigint(20) NOT NULL AUTO_INCREMENT,
  `ArticuloID` varchar(30) NOT NULL,
  `Cantidad` decimal(14,3) NOT NULL DEFAULT 0.000,
  `Fecha` datetime DEFAULT NULL,
  PRIMARY KEY (`ID`),
  KEY `ArticuloID` (`ArticuloID`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `ticket`;
CREATE TABLE `ticket` (
  `TicketNo` bigint(20) NOT NULL,
  `Fecha` datetime NOT NULL,
  `AlmacenID` int(11) NOT NULL DEFAULT 1,
  `ClienteID` int(11) DEFAULT NULL,
  `Cajero` varchar(30) DEFAULT NULL,
  `Total` decimal(14,2) NOT NULL DEFAULT 0.00,
  `Nota` varchar(200) DEFAULT NULL,
  PRIMARY KEY (`TicketNo`),
  KEY `Fecha` (`Fecha`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `ticketarticulo`;
CREATE TABLE `ticketarticulo` (
  `ID` bigint(20) NOT NULL AUTO_INCREMENT,
  `TicketNo` bigint(20) NOT NULL,
  `ArticuloID` varchar(30) NOT NULL,
  `NombreCN` varchar(100) DEFAULT NULL,
  `Cantidad` decimal(14,3) NOT NULL DEFAULT 0.000,
  `Precio` decimal(12,2) NOT NULL DEFAULT 0.00,
  `Descuento` decimal(5,2) NOT NULL DEFAULT 0.00,
  PRIMARY KEY (`ID`),
  KEY `TicketNo` (`TicketNo`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `ticketcobro`;
CREATE TABLE `ticketcobro` (
  `ID` bigint(20) NOT NULL AUTO_INCREMENT,
  `TicketNo` bigint(20) NOT NULL,
  `FormaPago` varchar(30) NOT NULL DEFAULT '',
  `Importe` decimal(14,2) NOT NULL DEFAULT 0.00,
  `Fecha` datetime NOT NULL,
  PRIMARY KEY (`ID`),
  KEY `Fecha` (`Fecha`),
  KEY `TicketNo` (`TicketNo`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `ticketdiariototal`;
CREATE TABLE `ticketdiariototal` (
  `Fecha` date NOT NULL,
  `AlmacenID` int(11) NOT NULL DEFAULT 1,
  `NumeroTickets` int(11) NOT NULL DEFAULT 0,
  `Total` decimal(14,2) NOT NULL DEFAULT 0.00,
  PRIMARY KEY (`Fecha`,`AlmacenID`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE IF EXISTS `ventadiariototal`;
CREATE TABLE `ventadiariototal` (
  `Fecha` date NOT NULL,
  `ArticuloID` varchar(30) NOT NULL,
  `Cantidad` decimal(14,3) NOT NULL DEFAULT 0.000,
  `Importe` decimal(14,2) NOT NULL DEFAULT 0.00,
  PRIMARY KEY (`Fecha`,`ArticuloID`)
 ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
